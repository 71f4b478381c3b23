#include "upload/UploadExchange.h"

#include "upload/PendingUpload.h"
#include "upload/UploadLog.h"

#include <utility>

namespace lumvex {

namespace {

// A refusal that the same bytes will always get: a client error other than a timeout
// (408), a request sent too early (425) or too many requests (429).
bool refusedForGood(long status) {
    return status >= 400 && status < 500 && status != 408 && status != 425 && status != 429;
}

}  // namespace

Step UploadExchange::send(const UploadContext& context, UploadRequest request, platform::Url url, Then then) {
    platform::UrlRequest http(std::move(url));
    http.httpMethod = "POST";
    http.setValue("application/json", "Content-Type");
    http.setValue(request.key, UploadRequest::IDEMPOTENCY_KEY_HEADER);
    http.httpBody = request.body;
    platform::UrlSession::shared().dataTask(
        std::move(http),
        [context, request = std::move(request), then = std::move(then)](
            std::optional<platform::UrlResponseData> data, std::optional<platform::HttpUrlResponse> response,
            std::optional<platform::UrlError> error) {
            UploadQueue::carryOn([&] { return then(act(context, request, data, response, error)); });
        });
    return Step{true, {}};
}

std::optional<LumvexException> UploadExchange::act(const UploadContext& context, const UploadRequest& request,
                                                   const std::optional<platform::UrlResponseData>& data,
                                                   const std::optional<platform::HttpUrlResponse>& response,
                                                   const std::optional<platform::UrlError>& error) {
    if (!data || error) {
        // The server may have kept it: the record stays for a retry under the same key.
        LUMVEX_UPLOAD_LOG_AT(LEVEL_ERROR, SEND_PUSH, "Push error error=" + platform::to_string(error));
        return LumvexException::PUSH_FAILED;
    }
    if (response && response->statusCode != 200) {
        LUMVEX_UPLOAD_LOG_ERROR(SEND_PUSH, "Push failed");
        if (refusedForGood(response->statusCode)) {
            giveUp("refused with status " + std::to_string(response->statusCode));
        }
        return LumvexException::PUSH_FAILED;
    }
    LUMVEX_UPLOAD_LOG(SEND_PUSH, "Push success");
    settle(context, request);
    return std::nullopt;
}

bool UploadExchange::settle(const UploadContext& context, const UploadRequest& request) {
    bool done = request.lines.empty() || context.traces.clearTraces(request.lines);
    if (!request.description.empty()) {
        done = context.devices.saveDeviceInfo(request.description) && done;
    }
    // Last, so that a process killed before it resends rather than forgets.
    done = done && PendingUpload::discard();
    if (!done) {
        LUMVEX_UPLOAD_LOG_ERROR(SEND_PUSH, "Delivered upload kept until its fixes can be removed");
    }
    UploadQueue::setDeliveredKey(done ? std::nullopt : std::optional<std::string>(request.key));
    return done;
}

void UploadExchange::giveUp(const std::string& why) {
    LUMVEX_UPLOAD_LOG_ERROR(SEND_PUSH, "Pending upload given up: " + why);
    PendingUpload::discard();
    UploadQueue::setDeliveredKey(std::nullopt);
}

std::optional<platform::Url> UploadExchange::parseUrl(const std::string& text) {
    auto url = platform::Url::parse(text);
    if (!url) {
        LUMVEX_UPLOAD_LOG_ERROR(SEND_PUSH, "Invalid push URL " + text);
    }
    return url;
}

}  // namespace lumvex
