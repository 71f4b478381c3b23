#include "PushRequest.h"

#include "BuildConfig.h"
#include "ConfigurationAccess.h"
#include "DeviceInfoRepository.h"
#include "DeviceInfoUtils.h"
#include "L.h"
#include "PendingUpload.h"
#include "TraceRepository.h"
#include "platform/CachesDirectory.h"
#include "platform/Clock.h"
#include "platform/Device.h"
#include "platform/FileLock.h"
#include "platform/Guarded.h"
#include "platform/NoDestructor.h"
#include "platform/UrlSession.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string_view>
#include <utility>

namespace lumvex {

using detail::ConfigurationAccess;

namespace {

constexpr const char* SEND_PUSH = "sendPush(_:callback:)";

// The endpoint a test put in place of the build's. Never destroyed: uploads may still be
// built on the queue while the process exits.
platform::Guarded<std::optional<std::string>>& endpointOverride() {
    static platform::NoDestructor<platform::Guarded<std::optional<std::string>>> endpoint;
    return *endpoint;
}

// Unreserved characters, sub-delimiters, ":" and "@": everything that a path segment
// holds as it is.
bool isSegmentCharacter(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("-._~!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos;
}

// What an upload told its host: nothing (no callback was made), or the outcome it passed.
using Told = std::optional<std::optional<LumvexException>>;

// How a step of an upload left its turn.
struct Step {
    bool inFlight = false;  // a request is out: its answer carries the turn on
    Told told;              // otherwise: what the host was told
};

// Whose turn it is to upload. Two uploads in flight at once would both carry the lines
// that neither has removed yet, and an endpoint that never answers would otherwise pile
// up one socket per push. Never destroyed: the session's thread may end a turn while the
// process exits.
struct UploadTurns {
    bool busy = false;
    // In call order; each is given what the upload before it told its host.
    std::deque<std::function<Step(const Told& before)>> waiting;
    // The key of the recorded request that was delivered but whose fixes could not be
    // removed: it is not sent again; its removal is tried again first.
    std::optional<std::string> deliveredKey;
    // How many uploads have told their host an outcome, and the last such outcome.
    std::uint64_t toldCount = 0;
    Told lastTold;
    // The turn among the processes that share the caches directory, held for this one's.
    std::optional<platform::FileLock> acrossProcesses;
};
platform::Guarded<UploadTurns>& uploadTurns() {
    static platform::NoDestructor<platform::Guarded<UploadTurns>> turns;
    return *turns;
}

// Hands the turn to the uploads that waited, one after the other on this thread until one
// has a request in flight, or frees it. A loop rather than a call from each upload's end,
// so that any number of waiting uploads cost no stack. Runs where an upload ended, so it
// lets nothing escape.
void endTurn(Told told) noexcept {
    Told fresh = told;  // what the upload that just ended told, if anything
    for (;;) {
        std::function<Step(const Told&)> next;
        const bool handed = uploadTurns().with([&next, &fresh](UploadTurns& turns) {
            if (fresh) {
                turns.lastTold = fresh;
                ++turns.toldCount;
            }
            if (turns.waiting.empty()) {
                turns.busy = false;
                turns.acrossProcesses.reset();
                return false;
            }
            next = std::move(turns.waiting.front());
            turns.waiting.pop_front();
            return true;
        });
        if (!handed) {
            return;
        }
        try {
            auto step = next(told);
            if (step.inFlight) {
                return;
            }
            fresh = step.told;
            if (step.told) {
                told = std::move(step.told);
            }
        } catch (...) {
            // Out of memory: this upload is given up, and the next in line gets the turn.
            fresh.reset();
        }
    }
}

void setDeliveredKey(std::optional<std::string> key) {
    uploadTurns().with([&key](UploadTurns& turns) { turns.deliveredKey = std::move(key); });
}

// Whether a delivered request's fixes are still to be removed.
bool awaitingRemoval() {
    return uploadTurns().with([](const UploadTurns& turns) { return turns.deliveredKey.has_value(); });
}

// A refusal that the same bytes will always get: a client error other than a timeout
// (408), a request sent too early (425) or too many requests (429).
bool refusedForGood(long status) {
    return status >= 400 && status < 500 && status != 408 && status != 425 && status != 429;
}

// Ends the record for good; its fixes stay in the trace file and go out in a new request.
void giveUp(const std::string& why) {
    LUMVEX_LOG_ERROR(SEND_PUSH, "Pending upload given up: " + why);
    PendingUpload::discard();
    setDeliveredKey(std::nullopt);
}

// After a 200: removes exactly the fixes the request carried, records its description,
// then its record. Until all of that has succeeded the record stays, marked delivered, so
// that those fixes never go out under another key.
bool settle(const UploadRequest& request) {
    bool done = request.lines.empty() || TraceRepository::shared().removeTraces(request.lines);
    if (!request.description.empty()) {
        done = DeviceInfoRepository::shared().saveDeviceInfoText(request.description) && done;
    }
    // Last, so that a process killed before it resends rather than forgets.
    done = done && PendingUpload::discard();
    if (!done) {
        LUMVEX_LOG_ERROR(SEND_PUSH, "Delivered upload kept until its fixes can be removed");
    }
    setDeliveredKey(done ? std::nullopt : std::optional<std::string>(request.key));
    return done;
}

// Acts on the answer to `request`: what becomes of the stores and of its record. Gives the
// outcome for the host.
std::optional<LumvexException> act(const UploadRequest& request,
                                   const std::optional<platform::UrlResponseData>& data,
                                   const std::optional<platform::HttpUrlResponse>& response,
                                   const std::optional<platform::UrlError>& error) {
    if (!data || error) {
        // The server may have kept it: the record stays for a retry under the same key.
        LUMVEX_LOG(SEND_PUSH, "Push error error=" + platform::to_string(error));
        return LumvexException::PUSH_FAILED;
    }
    if (response && response->statusCode != 200) {
        LUMVEX_LOG_ERROR(SEND_PUSH, "Push failed");
        if (refusedForGood(response->statusCode)) {
            giveUp("refused with status " + std::to_string(response->statusCode));
        }
        return LumvexException::PUSH_FAILED;
    }
    LUMVEX_LOG(SEND_PUSH, "Push success");
    settle(request);
    return std::nullopt;
}

std::optional<platform::Url> parseUrl(const std::string& text) {
    auto url = platform::Url::parse(text);
    if (!url) {
        LUMVEX_LOG_ERROR(SEND_PUSH, "Invalid push URL " + text);
    }
    return url;
}

// Another process of the same application uploads from the same files; two uploads at
// once would both send the lines that neither has removed yet. The turn is not waited
// for: the other's upload may take as long as the network does.
bool takeTurnAcrossProcesses() {
    return uploadTurns().with([](UploadTurns& turns) {
        if (turns.acrossProcesses) {
            return true;
        }
        const auto directory = platform::cachesDirectory();
        if (!directory) {
            return true;  // no stores to share
        }
        turns.acrossProcesses = platform::FileLock::tryLock(*directory + "/upload.lock");
        // A lock that cannot be had for another reason keeps no upload from going out.
        return turns.acrossProcesses.has_value() || errno != EWOULDBLOCK;
    });
}

// One upload's turn, from the moment it may send until it has told its host.
class Upload final : public std::enable_shared_from_this<Upload> {
public:
    Upload(PushRequest request, std::shared_ptr<const LumvexConfiguration> configuration,
           PushCallback callback)
        : request_(std::move(request)),
          configuration_(std::move(configuration)),
          callback_(std::move(callback)) {}

    // `before`: what the upload that had the turn before told its host; an upload that
    // waited behind it and finds nothing left tells its own host the same.
    Step start(const Told& before) {
        nothingLeft_ = before;
        if (!takeTurnAcrossProcesses()) {
            LUMVEX_LOG(SEND_PUSH, "Another process of this application is uploading");
            return finish(LumvexException::PUSH_FAILED);
        }
        auto recorded = PendingUpload::load();
        if (!recorded) {
            setDeliveredKey(std::nullopt);
            return sendStored();
        }
        const bool delivered =
            uploadTurns().with([&](const UploadTurns& turns) { return turns.deliveredKey == recorded->key; });
        if (delivered) {
            if (!settle(*recorded)) {
                return finish(LumvexException::PUSH_FAILED);
            }
            nothingLeft_ = Told(std::optional<LumvexException>());
            return sendStored();
        }
        if (auto why = staleness(*recorded)) {
            giveUp(*why);
            return sendStored();
        }
        return resend(std::move(*recorded));
    }

private:
    using Then = std::function<Step(std::optional<LumvexException>)>;

    // Why a recorded request is not to be sent again, if it is not.
    std::optional<std::string> staleness(const UploadRequest& recorded) const {
        const auto& configuration = *configuration_;
        if (recorded.format != ConfigurationAccess::pushFormat(configuration) ||
            recorded.url != request_.urlFor(configuration)) {
            return std::string("made under another push format, endpoint or API key");
        }
        const auto bound =
            std::chrono::duration_cast<std::chrono::milliseconds>(PendingUpload::MAX_AGE).count();
        const auto age = platform::clock()->wallNowMilliseconds() - recorded.createdAtMs;
        if (age > bound || age < -bound) {
            return "older than " + std::to_string(PendingUpload::MAX_AGE.count()) + " hours";
        }
        return std::nullopt;
    }

    // The recorded request as it was; once delivered, what was stored since follows.
    Step resend(UploadRequest recorded) {
        auto url = parseUrl(recorded.url);
        if (!url) {
            return finish(LumvexException::PUSH_FAILED);
        }
        return send(std::move(recorded), std::move(*url), [self = shared_from_this()](auto outcome) {
            // Until the delivered fixes are removed, a new request would carry them again.
            if (outcome || awaitingRemoval()) {
                return self->finish(outcome);
            }
            // The host asked for what is stored to go; with nothing newer, the delivered
            // resend was all of it.
            self->nothingLeft_ = Told(std::optional<LumvexException>());
            return self->sendStored();
        });
    }

    // A new request from what the stores hold now.
    Step sendStored() {
        // Without the directory the stored fixes cannot be read, nor the upload's outcome
        // kept: an upload now would report success for fixes that it never carried.
        if (!platform::cachesDirectory()) {
            return finish(LumvexException::PUSH_FAILED);
        }
        const auto& configuration = *configuration_;
        const auto contents = UploadContents::gather(ConfigurationAccess::pushFormat(configuration));
        auto request = request_.buildRequest(contents, configuration, UploadRequest::newKey(),
                                             platform::clock()->wallNowMilliseconds());
        if (request && request->empty()) {
            LUMVEX_LOG(SEND_PUSH, "Push is not necessary: " + request->body);
            return nothingLeft_ ? finish(*nothingLeft_) : Step{};
        }
        if (!request) {
            LUMVEX_LOG_ERROR("jsonPushAsData", "Error while json serialization");
            return finish(LumvexException::JSON_SERIALIZATION_FAILED);
        }
        auto url = parseUrl(request->url);
        if (!url) {
            return finish(LumvexException::PUSH_FAILED);
        }
        // From the moment it goes out the server may keep it without this process learning
        // of it; without its record, a retry would carry the same fixes under a new key.
        if (!PendingUpload::save(*request)) {
            LUMVEX_LOG_ERROR(SEND_PUSH, "Push not sent: its pending upload file could not be written");
            return finish(LumvexException::PUSH_FAILED);
        }
        return send(std::move(*request), std::move(*url),
                    [self = shared_from_this()](auto outcome) { return self->finish(outcome); });
    }

    // Sends `request` and acts on its answer, then goes on with `then`, on the upload thread.
    Step send(UploadRequest request, platform::Url url, Then then) {
        platform::UrlRequest http(std::move(url));
        http.httpMethod = "POST";
        http.setValue("application/json", "Content-Type");
        http.setValue(request.key, UploadRequest::IDEMPOTENCY_KEY_HEADER);
        http.httpBody = request.body;
        platform::UrlSession::shared().dataTask(
            std::move(http),
            [request = std::move(request), then = std::move(then)](
                std::optional<platform::UrlResponseData> data,
                std::optional<platform::HttpUrlResponse> response, std::optional<platform::UrlError> error) {
                Told told;
                try {
                    auto step = then(act(request, data, response, error));
                    if (step.inFlight) {
                        return;
                    }
                    told = std::move(step.told);
                } catch (...) {
                    // Out of memory: the turn still passes on.
                }
                endTurn(std::move(told));
            });
        return Step{true, {}};
    }

    Step finish(std::optional<LumvexException> outcome) {
        if (callback_) {
            callback_(outcome);
        }
        return Step{false, Told(outcome)};
    }

    const PushRequest request_;
    const std::shared_ptr<const LumvexConfiguration> configuration_;
    const PushCallback callback_;
    Told nothingLeft_;  // what to tell the host when nothing is left to send
};

}  // namespace

PushRequest::PushRequest() : PushRequest(defaultEndpoint(), defaultEndpoint()) {}

PushRequest::PushRequest(std::string endpointHostEu, std::string endpointHostUs)
    : endpointHostEu_(std::move(endpointHostEu)), endpointHostUs_(std::move(endpointHostUs)) {}

std::string PushRequest::defaultEndpoint() {
    return endpointOverride().with([](const std::optional<std::string>& endpoint) {
        return endpoint.value_or(LUMVEX_DEFAULT_ENDPOINT_URL);
    });
}

void PushRequest::setDefaultEndpoint(std::optional<std::string> endpoint) {
    endpointOverride().with(
        [&endpoint](std::optional<std::string>& current) { current = std::move(endpoint); });
}

std::optional<std::string> PushRequest::jsonPushAsData(const nlohmann::json& dict) {
    try {
        return dict.dump();
    } catch (const std::exception&) {
        // The writer's own reason is not logged.
        LUMVEX_LOG_ERROR("jsonPushAsData", "Error while json serialization");
        return std::nullopt;
    }
}

std::string PushRequest::escapeApiKey(const std::string& apiKey) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    const bool dotSegment = apiKey == "." || apiKey == "..";
    std::string out;
    out.reserve(apiKey.size() * 3);
    for (const char c : apiKey) {
        const auto byte = static_cast<unsigned char>(c);
        if (isSegmentCharacter(byte) && !dotSegment) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(HEX[byte >> 4]);
            out.push_back(HEX[byte & 0x0F]);
        }
    }
    return out;
}

bool PushRequest::idle() {
    return uploadTurns().with([](const UploadTurns& turns) { return !turns.busy; });
}

std::string PushRequest::buildUrl(const std::string& apiKey, PushRegion pushRegion,
                                  const std::optional<std::string>& endpoint) const {
    const auto& regional = pushRegion == PushRegion::US ? endpointHostUs_ : endpointHostEu_;
    const auto& base = endpoint ? *endpoint : regional;
    return base + "api/v1/" + escapeApiKey(apiKey) + "/send_locations";
}

std::string PushRequest::urlFor(const LumvexConfiguration& configuration) const {
    return buildUrl(ConfigurationAccess::apiKey(configuration),
                    ConfigurationAccess::pushRegion(configuration),
                    ConfigurationAccess::endpoint(configuration));
}

std::optional<UploadRequest> PushRequest::buildRequest(const UploadContents& contents,
                                                       const LumvexConfiguration& configuration,
                                                       std::string key, std::int64_t nowMs) const {
    UploadRequest request;
    request.url = urlFor(configuration);
    request.key = std::move(key);
    request.format = ConfigurationAccess::pushFormat(configuration);
    request.createdAtMs = nowMs;
    // The body is the compact JSON text of the push dictionary, members in key order as
    // nlohmann::json writes an object. It is put together from texts that are already
    // written: the store keeps each record's text, and the description's text is the one
    // compared with the recorded description. Building the objects only to write them out
    // again cost several times the writing itself.
    std::string_view description = "{}";
    if (contents.description && request.format != PushFormat::LOCATION_ONLY) {
        if (contents.description->text.empty()) {
            return std::nullopt;  // the description could not be written as JSON
        }
        request.description = contents.description->text;
        description = request.description;
    }
    std::string_view records = "[]";
    if (contents.recordCount > 0 && request.format != PushFormat::DEVICE_INFO_ONLY) {
        request.lines = contents.lines;
        records = contents.recordsText;
    }
    const auto googleAid = nlohmann::json(contents.googleAid).dump();
    auto& body = request.body;
    body.reserve(description.size() + googleAid.size() + records.size() + 80);
    body += "{\"devices_infos\":";
    body += description;
    body += ",\"google_aid\":";
    body += googleAid;
    body += ",\"locations\":";
    body += records;
    body += ",\"mac\":";
    body += nlohmann::json(MAC).dump();
    body += '}';
    return request;
}

std::uint64_t PushRequest::outcomesSoFar() {
    return uploadTurns().with([](const UploadTurns& turns) { return turns.toldCount; });
}

void PushRequest::sendPush(const LumvexConfiguration& configuration, PushCallback callback,
                           std::optional<std::uint64_t> askedAt) const {
    // The configuration is copied: the caller's may be gone when the turn comes.
    auto upload = std::make_shared<Upload>(*this, std::make_shared<const LumvexConfiguration>(configuration),
                                           std::move(callback));
    Told before;
    const bool waits = uploadTurns().with([&upload, &before, askedAt](UploadTurns& turns) {
        if (turns.busy) {
            turns.waiting.push_back([upload](const Told& told) { return upload->start(told); });
            return true;
        }
        turns.busy = true;
        // An upload that ended since the host asked carried what was stored then.
        if (askedAt && *askedAt != turns.toldCount) {
            before = turns.lastTold;
        }
        return false;
    });
    if (waits) {
        return;
    }
    Told told;
    try {
        auto step = upload->start(before);
        if (step.inFlight) {
            return;
        }
        told = std::move(step.told);
    } catch (...) {
        endTurn(Told());
        throw;
    }
    endTurn(std::move(told));
}

}  // namespace lumvex
