#pragma once

// Thread guarantees: every call is safe from any thread; a request holds no state but its
// two base URLs, and the uploads take turns in the context's outbox (see `sendPush`). The
// callback arrives on the upload thread, or on the calling thread when the upload fails
// before anything is sent.

#include <LumvexSdk/Lumvex.h>

#include "upload/UploadRequest.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace lumvex {

struct UploadContext;

/// One upload: the stored traces and, when it changed, the device description, posted as
/// one JSON document to the region's endpoint under the host's API key. A new request is
/// made for every upload; nothing is kept from one to the next but the record of a request
/// whose outcome is not known yet ("pending.lmx", see `PendingUpload`).
///
/// This class makes a request whole from what the stores hold and the configuration, and
/// is the only writer of what goes on the wire; `sendPush` hands the upload to the
/// context's `Outbox`, which decides whether a recorded request goes first, sends, acts on
/// the answer and tells the host.
class PushRequest final {
public:
    /// Both regions post to the default endpoint.
    PushRequest();
    /// Base URLs of the two regional endpoints; each ends in "/".
    PushRequest(std::string endpointHostEu, std::string endpointHostUs);

    /// Uploads from `context`'s stores, unless there is nothing to send; then the callback is not called.
    /// Otherwise the callback is called once: on this thread when the upload fails before anything is sent,
    /// else on the upload thread. On success the traces that were sent are removed and the description
    /// recorded.
    ///
    /// A request recorded by an earlier attempt whose outcome is unknown goes first, byte
    /// for byte and under its key, unless it is given up (see the README); once it is
    /// delivered, what was stored since follows in the same upload, reporting to the same
    /// callback (no error when there is nothing newer).
    ///
    /// One upload is in flight at a time per outbox. While another one is, this upload
    /// waits its turn, in call order, and reads the stores only then. It runs on the thread
    /// that ended the upload before it; when it then finds nothing to send, it reports the
    /// outcome of that upload, which carried what was stored when it was called. So does
    /// an upload that finds nothing while uploads have ended since `askedAt`, the
    /// `outcomesSoFar()` of the moment the host asked for it.
    void sendPush(const UploadContext& context, const LumvexConfiguration& configuration,
                  PushCallback callback, std::optional<std::uint64_t> askedAt = std::nullopt) const;

    /// The whole request for `contents` under `configuration`, with `key`, made at `nowMs`;
    /// nothing when the description could not be written as JSON. Pure: it reads nothing
    /// but its arguments and this request's endpoints. What the format leaves out of a body
    /// is left out whatever `contents` holds.
    std::optional<UploadRequest> buildRequest(const UploadContents& contents,
                                              const LumvexConfiguration& configuration, std::string key,
                                              std::int64_t nowMs) const;

    /// Where an upload under `configuration` goes.
    std::string urlFor(const LumvexConfiguration& configuration) const;

    /// The base URL that a request made without arguments posts to: the build's
    /// LUMVEX_DEFAULT_ENDPOINT unless another was set.
    static std::string defaultEndpoint();

private:
    friend struct PushRequestTestAccess;

    /// Replaces the build's default endpoint, process-wide; `std::nullopt` restores it.
    static void setDefaultEndpoint(std::optional<std::string> endpoint);

    /// `endpoint`, the host's base URL from the configuration, replaces the regional one.
    std::string buildUrl(const std::string& apiKey, PushRegion pushRegion,
                         const std::optional<std::string>& endpoint = std::nullopt) const;
    /// The key as one path segment: what a segment may hold as it is (unreserved
    /// characters, sub-delimiters, ":" and "@"), every other byte percent-encoded, and "."
    /// and ".." wholly encoded so that they cannot climb.
    static std::string escapeApiKey(const std::string& apiKey);

    static constexpr const char* MAC = "020000000000";

    std::string endpointHostEu_;
    std::string endpointHostUs_;
};

}  // namespace lumvex
