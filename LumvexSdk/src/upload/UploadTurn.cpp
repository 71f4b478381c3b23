#include "upload/UploadTurn.h"

#include "config/ConfigurationAccess.h"
#include "platform/base/Clock.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/Files.h"
#include "upload/PendingUpload.h"
#include "upload/UploadExchange.h"
#include "upload/UploadLog.h"

#include <chrono>
#include <utility>

namespace lumvex {

using detail::ConfigurationAccess;

UploadTurn::UploadTurn(UploadContext context, PushRequest builder,
                       std::shared_ptr<const LumvexConfiguration> configuration, PushCallback callback)
    : context_(context),
      builder_(std::move(builder)),
      configuration_(std::move(configuration)),
      callback_(std::move(callback)) {}

Step UploadTurn::start(const Told& before) {
    nothingLeft_ = before;
    if (!UploadQueue::takeTurnAcrossProcesses()) {
        LUMVEX_UPLOAD_LOG_AT(LEVEL_WARNING, SEND_PUSH, "Another process of this application is uploading");
        return finish(LumvexException::PUSH_FAILED);
    }
    auto recorded = PendingUpload::load();
    if (!recorded) {
        UploadQueue::setDeliveredKey(std::nullopt);
        return sendStored();
    }
    if (UploadQueue::isDelivered(recorded->key)) {
        if (!UploadExchange::settle(context_, *recorded)) {
            return finish(LumvexException::PUSH_FAILED);
        }
        nothingLeft_ = Told(std::optional<LumvexException>());
        return sendStored();
    }
    if (auto why = staleness(*recorded)) {
        UploadExchange::giveUp(*why);
        return sendStored();
    }
    return resend(std::move(*recorded));
}

std::optional<std::string> UploadTurn::staleness(const UploadRequest& recorded) const {
    const auto& configuration = *configuration_;
    if (recorded.format != ConfigurationAccess::pushFormat(configuration) ||
        recorded.url != builder_.urlFor(configuration)) {
        return std::string("made under another push format, endpoint or API key");
    }
    const auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(PendingUpload::MAX_AGE).count();
    const auto age = platform::clock()->wallNowMilliseconds() - recorded.createdAtMs;
    if (age > bound || age < -bound) {
        return "older than " + std::to_string(PendingUpload::MAX_AGE.count()) + " hours";
    }
    return std::nullopt;
}

Step UploadTurn::resend(UploadRequest recorded) {
    auto url = UploadExchange::parseUrl(recorded.url);
    if (!url) {
        return finish(LumvexException::PUSH_FAILED);
    }
    return UploadExchange::send(context_, std::move(recorded), std::move(*url),
                                [self = shared_from_this()](auto outcome) {
                                    // Until the delivered fixes are removed, a new request would carry them
                                    // again.
                                    if (outcome || UploadQueue::awaitingRemoval()) {
                                        return self->finish(outcome);
                                    }
                                    // The host asked for what is stored to go; with nothing newer, the
                                    // delivered resend was all of it.
                                    self->nothingLeft_ = Told(std::optional<LumvexException>());
                                    return self->sendStored();
                                });
}

Step UploadTurn::sendStored() {
    // Without the directory the stored fixes cannot be read, nor the upload's outcome
    // kept: an upload now would report success for fixes that it never carried.
    if (!platform::cachesDirectory()) {
        return finish(LumvexException::PUSH_FAILED);
    }
    const auto& configuration = *configuration_;
    const auto contents = UploadContents::gather(ConfigurationAccess::pushFormat(configuration), context_);
    auto request = builder_.buildRequest(contents, configuration, UploadRequest::newKey(),
                                         platform::clock()->wallNowMilliseconds());
    if (request && request->empty()) {
        LUMVEX_UPLOAD_LOG_AT(LEVEL_DEBUG, SEND_PUSH, "Push is not necessary: " + request->body);
        return nothingLeft_ ? finish(*nothingLeft_) : Step{};
    }
    if (!request) {
        LUMVEX_UPLOAD_LOG_ERROR("jsonPushAsData", "Error while json serialization");
        return finish(LumvexException::JSON_SERIALIZATION_FAILED);
    }
    return sendNew(std::move(*request));
}

Step UploadTurn::sendNew(UploadRequest request) {
    auto url = UploadExchange::parseUrl(request.url);
    if (!url) {
        return finish(LumvexException::PUSH_FAILED);
    }
    // From the moment it goes out the server may keep it without this process learning of
    // it; without its record, a retry would carry the same fixes under a new key.
    if (!PendingUpload::save(request)) {
        LUMVEX_UPLOAD_LOG_ERROR(SEND_PUSH, "Push not sent: its pending upload file could not be written");
        return finish(LumvexException::PUSH_FAILED);
    }
    return UploadExchange::send(context_, std::move(request), std::move(*url),
                                [self = shared_from_this()](auto outcome) { return self->finish(outcome); });
}

Step UploadTurn::finish(std::optional<LumvexException> outcome) {
    if (callback_) {
        callback_(outcome);
    }
    return Step{false, Told(outcome)};
}

}  // namespace lumvex
