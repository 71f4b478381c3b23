#include "upload/Outbox.h"

#include "config/ConfigurationAccess.h"
#include "platform/base/Clock.h"
#include "platform/base/HostCode.h"
#include "platform/system/CachesDirectory.h"
#include "store/OfflineStore.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace lumvex {

using detail::ConfigurationAccess;

namespace {

// A refusal that the same bytes will always get: a client error other than a timeout
// (408), a request sent too early (425) or too many requests (429).
bool refusedForGood(long status) {
    return status >= 400 && status < 500 && status != 408 && status != 425 && status != 429;
}

}  // namespace

/// One upload, from the moment it is handed over until it has told its host.
struct Outbox::Upload {
    UploadContext context;
    PushRequest builder;
    std::shared_ptr<const LumvexConfiguration> configuration;
    PushCallback callback;
    LogSite site;
    // What to tell the host when nothing is left to send: the outcome of an upload that
    // ended since the host asked, which carried what was stored then.
    Told nothingLeft;
};

Outbox::Outbox(platform::UrlSession& session) : session_(session) {}

void Outbox::send(const UploadContext& context, const PushRequest& builder,
                  const LumvexConfiguration& configuration, PushCallback callback,
                  std::optional<std::uint64_t> askedAt, LogSite site) {
    // The configuration is copied: the caller's may be gone when the turn comes.
    auto upload = std::make_shared<Upload>(Upload{context, builder,
                                                  std::make_shared<const LumvexConfiguration>(configuration),
                                                  std::move(callback), site, Told()});
    const bool runsNow = [&]() {
        platform::MutexLock guard(mutex_);
        if (busy_) {
            waiting_.push_back(upload);
            return false;
        }
        busy_ = true;
        if (askedAt && *askedAt != toldCount_) {
            upload->nothingLeft = lastTold_;
        }
        return true;
    }();
    if (!runsNow) {
        return;
    }
    Step step;
    try {
        step = begin(upload);
    } catch (...) {
        handOn(Told());
        throw;
    }
    if (!step.inFlight) {
        handOn(step.told);
    }
}

Outbox::Step Outbox::begin(const std::shared_ptr<Upload>& upload) {
    if (const int error = takeTurnAcrossProcesses()) {
        if (error == EWOULDBLOCK) {
            LUMVEX_UPLOAD_LOG_AT(LEVEL_WARNING, upload->site, SEND_PUSH,
                                 "Another process of this application is uploading");
        } else {
            LUMVEX_UPLOAD_LOG_ERROR(
                upload->site, SEND_PUSH,
                std::string("Push not sent: the upload lock cannot be taken: ") + std::strerror(error));
        }
        return finish(*upload, {LumvexException::PUSH_FAILED, false});
    }
    auto recorded = pending_.load();
    if (!recorded) {
        platform::MutexLock guard(mutex_);
        deliveredKey_.reset();
    } else if ([&] {
                   platform::MutexLock guard(mutex_);
                   return deliveredKey_ == recorded->key;
               }()) {
        // Delivered before; only its fixes were still to be removed.
        if (!settle(*upload, *recorded)) {
            return finish(*upload, {LumvexException::PUSH_FAILED, false});
        }
        upload->nothingLeft = Outcome{std::nullopt, false};
    } else if (auto why = staleness(*upload, *recorded)) {
        giveUp(*upload, *why);
    } else {
        return resendRecorded(upload, std::move(*recorded));
    }
    return sendStored(upload);
}

std::optional<std::string> Outbox::staleness(const Upload& upload, const UploadRequest& recorded) {
    const auto& configuration = *upload.configuration;
    if (recorded.format != ConfigurationAccess::pushFormat(configuration) ||
        recorded.url != upload.builder.urlFor(configuration)) {
        return std::string("made under another push format, endpoint or API key");
    }
    const auto clock = platform::clock();
    const auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(PendingUpload::MAX_AGE).count();
    std::int64_t age = 0;
    {
        platform::MutexLock guard(mutex_);
        const auto now = clock->now();
        // The calendar says how old a record left by an earlier process is; from then on
        // the monotonic clock does, which no one sets.
        if (!known_ || known_->key != recorded.key || known_->createdAtMs != recorded.createdAtMs) {
            known_ = KnownRecord{recorded.key, recorded.createdAtMs, now,
                                 clock->wallNowMilliseconds() - recorded.createdAtMs};
        }
        age = known_->ageWhenSeenMs +
              std::chrono::duration_cast<std::chrono::milliseconds>(now - known_->seenAt).count();
    }
    if (age > bound || age < -bound) {
        return "older than " + std::to_string(PendingUpload::MAX_AGE.count()) + " hours";
    }
    return std::nullopt;
}

Outbox::Step Outbox::resendRecorded(const std::shared_ptr<Upload>& upload, UploadRequest recorded) {
    auto url = parseUrl(*upload, recorded.url);
    if (!url) {
        return finish(*upload, {LumvexException::PUSH_FAILED, false});
    }
    return post(upload, std::move(recorded), std::move(*url), After::sendStored);
}

Outbox::Step Outbox::sendStored(const std::shared_ptr<Upload>& upload) {
    // Without the directory the stored fixes cannot be read, nor the upload's outcome
    // kept: an upload now would report success for fixes that it never carried.
    if (!platform::cachesDirectory()) {
        return finish(*upload, {LumvexException::PUSH_FAILED, false});
    }
    const auto& configuration = *upload->configuration;
    const auto contents =
        UploadContents::gather(ConfigurationAccess::pushFormat(configuration), upload->context);
    auto request = upload->builder.buildRequest(contents, configuration, UploadRequest::newKey(),
                                                platform::clock()->wallNowMilliseconds());
    if (request && request->empty()) {
        LUMVEX_UPLOAD_LOG_AT(LEVEL_DEBUG, upload->site, SEND_PUSH, "Push is not necessary: " + request->body);
        return upload->nothingLeft ? finish(*upload, *upload->nothingLeft) : Step{};
    }
    if (!request) {
        LUMVEX_UPLOAD_LOG_ERROR(upload->site, "jsonPushAsData", "Error while json serialization");
        return finish(*upload, {LumvexException::JSON_SERIALIZATION_FAILED, false});
    }
    return sendNew(upload, std::move(*request));
}

Outbox::Step Outbox::sendNew(const std::shared_ptr<Upload>& upload, UploadRequest request) {
    auto url = parseUrl(*upload, request.url);
    if (!url) {
        return finish(*upload, {LumvexException::PUSH_FAILED, false});
    }
    // From the moment it goes out the server may keep it without this process learning of
    // it; without its record, a retry would carry the same fixes under a new key.
    if (!pending_.save(request)) {
        LUMVEX_UPLOAD_LOG_ERROR(upload->site, SEND_PUSH,
                                "Push not sent: its pending upload file could not be written");
        return finish(*upload, {LumvexException::PUSH_FAILED, false});
    }
    {
        platform::MutexLock guard(mutex_);
        known_ = KnownRecord{request.key, request.createdAtMs, platform::clock()->now(), 0};
    }
    return post(upload, std::move(request), std::move(*url), After::finish);
}

Outbox::Step Outbox::post(const std::shared_ptr<Upload>& upload, UploadRequest request, platform::Url url,
                          After after) {
    platform::UrlRequest http(std::move(url));
    http.httpMethod = "POST";
    http.setValue("application/json", "Content-Type");
    http.setValue(request.key, UploadRequest::IDEMPOTENCY_KEY_HEADER);
    http.httpBody = request.body;
    session_.dataTask(std::move(http), [this, upload, request = std::move(request), after](
                                           std::optional<platform::UrlResponseData> data,
                                           std::optional<platform::HttpUrlResponse> response,
                                           std::optional<platform::UrlError> error) {
        answered(upload, request, after, data, response, error);
    });
    return Step{true, {}};
}

LUMVEX_CATCHES_FORCED_UNWIND void Outbox::answered(const std::shared_ptr<Upload>& upload,
                                                   const UploadRequest& request, After after,
                                                   const std::optional<platform::UrlResponseData>& data,
                                                   const std::optional<platform::HttpUrlResponse>& response,
                                                   const std::optional<platform::UrlError>& error) {
    Told told;
    try {
        const auto outcome = act(*upload, request, data, response, error);
        bool awaitingRemoval = false;
        {
            platform::MutexLock guard(mutex_);
            awaitingRemoval = deliveredKey_.has_value();
        }
        // Until the delivered fixes are removed, a new request would carry them again. A
        // delivered batch of the offline store is followed by the next one in the same
        // turn, until the backlog is empty or a request fails.
        if ((after == After::finish && !request.batch) || outcome || awaitingRemoval) {
            told = finish(*upload, {outcome, true}).told;
        } else {
            // The host asked for what is stored to go; with nothing newer, the delivered
            // request was all of it.
            upload->nothingLeft = Outcome{std::nullopt, true};
            const auto step = sendStored(upload);
            if (step.inFlight) {
                return;
            }
            told = step.told;
        }
    }
    LUMVEX_PASS_FORCED_UNWIND
    catch (...) {
        // Out of memory: the turn still passes on.
    }
    handOn(told);
}

std::optional<LumvexException> Outbox::act(const Upload& upload, const UploadRequest& request,
                                           const std::optional<platform::UrlResponseData>& data,
                                           const std::optional<platform::HttpUrlResponse>& response,
                                           const std::optional<platform::UrlError>& error) {
    if (!data || error) {
        // The server may have kept it: the record stays for a retry under the same key.
        LUMVEX_UPLOAD_LOG_AT(LEVEL_ERROR, upload.site, SEND_PUSH,
                             "Push error error=" + platform::to_string(error));
        return LumvexException::PUSH_FAILED;
    }
    if (response && response->statusCode != 200) {
        LUMVEX_UPLOAD_LOG_ERROR(upload.site, SEND_PUSH, "Push failed");
        if (refusedForGood(response->statusCode)) {
            giveUp(upload, "refused with status " + std::to_string(response->statusCode));
        }
        return LumvexException::PUSH_FAILED;
    }
    LUMVEX_UPLOAD_LOG(upload.site, SEND_PUSH, "Push success");
    settle(upload, request);
    return std::nullopt;
}

bool Outbox::settle(const Upload& upload, const UploadRequest& request) {
    const auto& context = upload.context;
    bool done = request.batch ? OfflineStore::shared().remove(*request.batch)
                              : request.lines.empty() || context.traces.clearTraces(request.lines);
    if (!request.description.empty()) {
        done = context.devices.saveDeviceInfo(request.description) && done;
    }
    // Last, so that a process killed before it resends rather than forgets.
    done = done && pending_.discard();
    if (!done) {
        LUMVEX_UPLOAD_LOG_ERROR(upload.site, SEND_PUSH,
                                "Delivered upload kept until its fixes can be removed");
    }
    platform::MutexLock guard(mutex_);
    deliveredKey_ = done ? std::nullopt : std::optional<std::string>(request.key);
    return done;
}

void Outbox::giveUp(const Upload& upload, const std::string& why) {
    LUMVEX_UPLOAD_LOG_ERROR(upload.site, SEND_PUSH, "Pending upload given up: " + why);
    pending_.discard();
    platform::MutexLock guard(mutex_);
    deliveredKey_.reset();
}

std::optional<platform::Url> Outbox::parseUrl(const Upload& upload, const std::string& text) const {
    auto url = platform::Url::parse(text);
    if (!url) {
        LUMVEX_UPLOAD_LOG_ERROR(upload.site, SEND_PUSH, "Invalid push URL " + text);
    }
    return url;
}

Outbox::Step Outbox::finish(const Upload& upload, Outcome outcome) {
    tell(upload.callback, outcome);
    return Step{false, Told(outcome)};
}

void Outbox::tell(const PushCallback& callback, const Outcome& outcome) {
    if (!callback) {
        return;
    }
    // An outcome that an answer decided reaches the host on the upload thread, also when
    // an upload that waited behind that answer passes it on from the work queue; only a
    // failure before anything was sent is told on the thread the upload runs on.
    if (outcome.answered && !session_.isCompletionThread()) {
        std::function<void()> work = [callback, error = outcome.error] { callback(error); };
        if (session_.post(work)) {
            return;
        }
        // No upload thread any more (the process exits): told here rather than never.
    }
    callback(outcome.error);
}

LUMVEX_CATCHES_FORCED_UNWIND void Outbox::handOn(Told told) {
    Told fresh = told;  // what the upload that just ended told, if anything
    for (;;) {
        std::shared_ptr<Upload> next;
        {
            platform::MutexLock guard(mutex_);
            if (fresh) {
                lastTold_ = fresh;
                ++toldCount_;
            }
            if (waiting_.empty()) {
                busy_ = false;
                acrossProcesses_.reset();
                return;
            }
            next = std::move(waiting_.front());
            waiting_.pop_front();
        }
        next->nothingLeft = told;
        try {
            auto step = begin(next);
            if (step.inFlight) {
                return;
            }
            fresh = step.told;
            if (step.told) {
                told = std::move(step.told);
            }
        }
        LUMVEX_PASS_FORCED_UNWIND
        catch (...) {
            // Out of memory: this upload is given up, and the next in line gets the turn.
            fresh.reset();
        }
    }
}

int Outbox::takeTurnAcrossProcesses() {
    platform::MutexLock guard(mutex_);
    if (acrossProcesses_) {
        return 0;
    }
    const auto directory = platform::cachesDirectory();
    if (!directory) {
        return 0;  // no stores to share; the upload fails when it reads them
    }
    // Any failure keeps the upload from going out: without the lock another process may be
    // sending the same fixes.
    acrossProcesses_ = platform::FileLock::tryLock(*directory + "/upload.lock");
    return acrossProcesses_ ? 0 : (errno != 0 ? errno : EIO);
}

std::uint64_t Outbox::outcomesSoFar() const {
    platform::MutexLock guard(mutex_);
    return toldCount_;
}

bool Outbox::idle() const {
    platform::MutexLock guard(mutex_);
    return !busy_;
}

bool Outbox::hasRecord() {
    return pending_.load().has_value();
}

}  // namespace lumvex
