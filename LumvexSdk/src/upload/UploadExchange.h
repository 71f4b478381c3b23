#pragma once

// Thread guarantees: `send` returns at once; the answer is acted on, and `then` called, on
// the session's completion thread. The other calls are safe from any thread; only the
// upload whose turn it is makes them.

#include <LumvexSdk/Lumvex.h>

#include "platform/net/UrlSession.h"
#include "upload/UploadContext.h"
#include "upload/UploadQueue.h"
#include "upload/UploadRequest.h"

#include <functional>
#include <optional>
#include <string>

namespace lumvex {

/// Sending one made request and acting on its answer: what becomes of the stores and of the
/// request's record ("pending.lmx"), and the outcome for the host.
class UploadExchange final {
public:
    UploadExchange() = delete;

    /// The rest of an upload once its request was answered, given the host's outcome.
    using Then = std::function<Step(std::optional<LumvexException> outcome)>;

    /// Posts `request` to `url`, acts on the answer, then goes on with `then` on the
    /// completion thread; the turn passes on there unless `then` sends again. The step it
    /// gives is "in flight".
    static Step send(const UploadContext& context, UploadRequest request, platform::Url url, Then then);

    /// After a 200: removes from `context`'s stores exactly the fixes the request carried,
    /// records its description,
    /// then its record. Until all of that has succeeded the record stays, marked delivered,
    /// so that those fixes never go out under another key. False until then.
    static bool settle(const UploadContext& context, const UploadRequest& request);

    /// Ends the record for good, logging `why`; its fixes stay in the trace file and go out
    /// in a new request.
    static void giveUp(const std::string& why);

    /// `text` as a URL; nothing, and an error line, when it is none.
    static std::optional<platform::Url> parseUrl(const std::string& text);

private:
    /// What the answer means for the stores and the record, and the outcome for the host.
    static std::optional<LumvexException> act(const UploadContext& context, const UploadRequest& request,
                                              const std::optional<platform::UrlResponseData>& data,
                                              const std::optional<platform::HttpUrlResponse>& response,
                                              const std::optional<platform::UrlError>& error);
};

}  // namespace lumvex
