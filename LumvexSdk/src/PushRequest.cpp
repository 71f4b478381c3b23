#include "PushRequest.h"

#include "BuildConfig.h"
#include "ConfigurationAccess.h"
#include "DeviceInfoRepository.h"
#include "DeviceInfoUtils.h"
#include "L.h"
#include "PendingUpload.h"
#include "TraceRepository.h"
#include "platform/Device.h"
#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/Guarded.h"
#include "platform/NoDestructor.h"
#include "platform/SerialQueue.h"
#include "platform/UrlSession.h"

#include <sodium.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <string_view>

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

// Whose turn it is to upload. Two uploads in flight at once would both carry the lines
// that neither has removed yet, and an endpoint that never answers would otherwise pile
// up one socket per push. Never destroyed: the session's thread may end a turn while the
// process exits.
struct UploadTurns {
    struct Waiting {
        std::function<void()> start;
        std::shared_ptr<platform::SerialQueue> queue;
    };
    bool busy = false;
    std::deque<Waiting> waiting;  // in call order
    // The turn among the processes that share the caches directory, held for this one's.
    std::optional<platform::FileLock> acrossProcesses;
};
platform::Guarded<UploadTurns>& uploadTurns() {
    static platform::NoDestructor<platform::Guarded<UploadTurns>> turns;
    return *turns;
}

// Hands the turn to the upload that waited longest, or frees it. Runs in destructors, so
// it lets nothing escape.
void endTurn() noexcept {
    for (;;) {
        UploadTurns::Waiting next;
        const bool handed = uploadTurns().with([&next](UploadTurns& turns) {
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
        // Without a worker for its queue (none could be made), the upload runs here rather
        // than being dropped with the turn still taken, which would stop every later upload.
        if (!next.queue || !next.queue->prepare()) {
            try {
                next.start();
            } catch (...) {
                // By then the upload has passed the turn on itself.
            }
            return;
        }
        try {
            next.queue->async(std::move(next.start));
            return;
        } catch (...) {
            // Out of memory: this upload is given up, and the next in line gets the turn.
        }
    }
}

// Ends the turn when the upload's course is over, however it left.
class TurnEnd {
public:
    TurnEnd() = default;
    ~TurnEnd() {
        if (owned_) {
            endTurn();
        }
    }
    TurnEnd(const TurnEnd&) = delete;
    TurnEnd& operator=(const TurnEnd&) = delete;
    /// The turn now ends elsewhere.
    void handOver() { owned_ = false; }

private:
    bool owned_ = true;
};

void report(const PushCallback& callback, std::optional<LumvexException> error) {
    if (callback) {
        callback(error);
    }
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

PushRequest::PushData PushRequest::buildPushData(PushFormat format) const {
    // The body is the compact JSON text of the push dictionary, members in key order as
    // nlohmann::json writes an object. It is put together from texts that are already
    // written: the store keeps each record's text, and the description's text is the one
    // compared with the recorded description. Building the objects only to write them out
    // again cost several times the writing itself.
    PushData data;
    std::string description = "{}";
    if (format != PushFormat::LOCATION_ONLY) {
        auto described = DeviceInfoUtils().describe();
        if (DeviceInfoRepository::shared().needDeviceInfoUpdateForRecord(described->record)) {
            data.writable = !described->text.empty();
            description = described->text;
            data.description = std::move(described);
        }
    }
    const auto googleAid = platform::Device::identifierForVendor().value_or(NO_ID);
    std::string records = "[]";
    if (format != PushFormat::DEVICE_INFO_ONLY) {
        auto snapshot = TraceRepository::shared().readTraceTexts();
        records = std::move(snapshot.recordsText);
        data.traceLines = std::move(snapshot.lines);
        data.recordLines = std::move(snapshot.recordLines);
    }
    data.containsLocation = !data.recordLines.empty();

    auto& body = data.body;
    body.reserve(description.size() + googleAid.size() + records.size() + 80);
    body += "{\"devices_infos\":";
    body += description;
    body += ",\"google_aid\":";
    body += nlohmann::json(googleAid).dump();
    body += ",\"locations\":";
    body += records;
    body += ",\"mac\":";
    body += nlohmann::json(MAC).dump();
    body += '}';
    return data;
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

std::string PushRequest::idempotencyKey(const std::vector<std::string>& lines,
                                        const nlohmann::json& description) {
    // Picks the library's fastest code paths; the digest is the same without them.
    [[maybe_unused]] static const bool initialised = sodium_init() >= 0;
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES);
    auto feed = [&state](std::string_view bytes) {
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    };
    auto feedLength = [&state](std::uint64_t n) {
        unsigned char bytes[8];
        for (int i = 0; i < 8; ++i) {
            bytes[i] = static_cast<unsigned char>(n >> (56 - 8 * i));
        }
        crypto_generichash_update(&state, bytes, sizeof bytes);
    };
    // Every part is framed by its length, so that no two different sets of records can
    // feed the digest the same bytes.
    auto feedFramed = [&](std::string_view bytes) {
        feedLength(bytes.size());
        feed(bytes);
    };
    // Names the derivation, so that a later one can never give an earlier one's keys.
    feedFramed("lumvex upload records 1");
    feedLength(lines.size());
    for (const auto& line : lines) {
        feedFramed(line);
    }
    const bool withDescription = description.is_object() && !description.empty();
    feed(withDescription ? std::string_view("\x01", 1) : std::string_view("\x00", 1));
    if (withDescription) {
        feedFramed(description.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash_final(&state, digest, sizeof digest);
    char hex[crypto_generichash_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

std::string PushRequest::buildUrl(const std::string& apiKey, PushRegion pushRegion,
                                  const std::optional<std::string>& endpoint) const {
    const auto& regional = pushRegion == PushRegion::US ? endpointHostUs_ : endpointHostEu_;
    const auto& base = endpoint ? *endpoint : regional;
    return base + "api/v1/" + escapeApiKey(apiKey) + "/send_locations";
}

void PushRequest::sendPush(const LumvexConfiguration& configuration, PushCallback callback,
                           std::shared_ptr<platform::SerialQueue> queue) const {
    const bool waits = uploadTurns().with([&](UploadTurns& turns) {
        if (turns.busy) {
            // The configuration is copied: the caller's may be gone when the turn comes.
            auto kept = std::make_shared<const LumvexConfiguration>(configuration);
            turns.waiting.push_back({[request = *this, kept, callback = std::move(callback),
                                      queue]() mutable { request.run(*kept, std::move(callback), queue); },
                                     std::move(queue)});
            return true;
        }
        turns.busy = true;
        return false;
    });
    if (!waits) {
        run(configuration, std::move(callback), std::move(queue));
    }
}

void PushRequest::run(const LumvexConfiguration& configuration, PushCallback callback,
                      std::shared_ptr<platform::SerialQueue> queue, bool afterResend) const {
    TurnEnd turn;
    PushData data;
    std::optional<PendingUpload> pending;
    if (!takeTurnAcrossProcesses()) {
        LUMVEX_LOG(SEND_PUSH, "Another process of this application is uploading");
        report(callback, LumvexException::PUSH_FAILED);
        return;
    }
    if (!afterResend) {
        pending = PendingUpload::load();
    }
    const bool resend = pending.has_value();
    if (resend) {
        // Exactly what the unconfirmed attempt carried, even lines that the cap has trimmed
        // from the trace file since: the server may hold them already, and only the same
        // records give the same key. Rare enough to be written out the plain way.
        auto dict = nlohmann::json::object();
        dict["mac"] = MAC;
        dict["google_aid"] = platform::Device::identifierForVendor().value_or(NO_ID);
        dict["locations"] = nlohmann::json(pending->records);
        dict["devices_infos"] = nlohmann::json::object();
        if (pending->description.is_object() && !pending->description.empty()) {
            auto described = std::make_shared<DeviceInfoUtils::Description>();
            described->dict = std::move(pending->description);
            dict["devices_infos"] = described->dict;
            data.description = std::move(described);
        }
        data.containsLocation = !pending->records.empty();
        auto body = jsonPushAsData(dict);
        data.writable = body.has_value();
        data.body = body ? std::move(*body) : std::string();
        data.traceLines = pending->lines;
        data.recordLines = std::move(pending->lines);
    } else {
        data = buildPushData(ConfigurationAccess::pushFormat(configuration));
        if (!data.containsLocation && !data.description) {
            LUMVEX_LOG(SEND_PUSH, "Push is not necessary: " + data.body);
            if (afterResend) {
                // This request's upload was the resend, and it was delivered.
                report(callback, std::nullopt);
            }
            return;
        }
    }
    if (!data.writable) {
        if (!resend) {  // a resend's failure was logged as it was written
            LUMVEX_LOG_ERROR("jsonPushAsData", "Error while json serialization");
        }
        report(callback, LumvexException::JSON_SERIALIZATION_FAILED);
        return;
    }
    const auto urlText =
        buildUrl(ConfigurationAccess::apiKey(configuration), ConfigurationAccess::pushRegion(configuration),
                 ConfigurationAccess::endpoint(configuration));
    auto url = platform::Url::parse(urlText);
    if (!url) {
        LUMVEX_LOG_ERROR(SEND_PUSH, "Invalid push URL " + urlText);
        report(callback, LumvexException::PUSH_FAILED);
        return;
    }
    platform::UrlRequest request(std::move(*url));
    request.httpMethod = "POST";
    request.setValue("application/json", "Content-Type");
    // Uploads may still run while the process exits.
    static platform::NoDestructor<const nlohmann::json> noDescription;
    const auto& description = data.description ? data.description->dict : *noDescription;
    request.setValue(idempotencyKey(data.recordLines, description), IDEMPOTENCY_KEY_HEADER);
    request.httpBody = std::move(data.body);
    if (!resend) {
        // From here on the server may keep these records without this process learning of
        // it. Should the record not be written, the upload still goes: a resend could then
        // differ, but holding the fixes back would not make them safer.
        PendingUpload::save(data.recordLines, description);
    }

    // What was sent, not what the stores hold when the answer comes, decides what is
    // removed and recorded.
    platform::UrlSession::shared().dataTask(
        std::move(request), [self = *this, kept = std::make_shared<const LumvexConfiguration>(configuration),
                             callback = std::move(callback), queue = std::move(queue), data = std::move(data),
                             resend](std::optional<platform::UrlResponseData> responseData,
                                     std::optional<platform::HttpUrlResponse> response,
                                     std::optional<platform::UrlError> error) mutable {
            // Ends after the stores are updated and the callback has returned, so that the
            // next upload reads what this one left.
            TurnEnd turn;
            if (!responseData || error) {
                LUMVEX_LOG(SEND_PUSH, "Push error error=" + platform::to_string(error));
                report(callback, LumvexException::PUSH_FAILED);
                return;
            }
            if (response && response->statusCode != 200) {
                LUMVEX_LOG_ERROR(SEND_PUSH, "Push failed");
                report(callback, LumvexException::PUSH_FAILED);
                return;
            }
            LUMVEX_LOG(SEND_PUSH, "Push success");
            if (data.containsLocation) {
                // Fixes stored while the upload was in flight stay for the next one.
                TraceRepository::shared().removeTraces(data.traceLines);
            }
            if (data.description) {
                DeviceInfoRepository::shared().saveDeviceInfo(data.description->dict);
            }
            // Last, so that a process killed before it resends rather than forgets.
            PendingUpload::discard();
            if (!resend) {
                report(callback, std::nullopt);
                return;
            }
            // What was stored since the unconfirmed attempt goes out now rather than a
            // whole upload period later, in this same turn and reporting to this callback.
            turn.handOver();
            std::function<void()> next = [self, kept, callback = std::move(callback), queue]() mutable {
                self.run(*kept, std::move(callback), queue, /*afterResend=*/true);
            };
            if (!queue || !queue->async(std::move(next))) {  // left as it was when refused
                next();
            }
        });
    turn.handOver();
}

}  // namespace lumvex
