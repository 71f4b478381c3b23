#pragma once

// Thread guarantees: every call is safe from any thread; a request holds no state but its
// two base URLs, and the uploads of the whole process take turns (see `sendPush`). The
// callback arrives on the upload thread, or on the thread that runs the upload when it
// fails before anything is sent.

#include <LumvexSdk/Lumvex.h>

#include "DeviceInfoUtils.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumvex {

namespace platform {
class SerialQueue;
}

/// One upload attempt: the stored traces and, when it changed, the device description,
/// posted as one JSON document to the region's endpoint under the host's API key. A new
/// request is made for every upload; nothing is kept from one to the next.
class PushRequest final {
public:
    /// Both regions post to the default endpoint.
    PushRequest();
    /// Base URLs of the two regional endpoints; each ends in "/".
    PushRequest(std::string endpointHostEu, std::string endpointHostUs);

    /// Builds the body and posts it, unless there is nothing to send; then the callback is
    /// not called. Otherwise the callback is called once: on this thread when the body
    /// cannot be written or the URL does not parse, else on the URL session's thread.
    /// On success, the traces that were sent are removed and the description recorded.
    /// An earlier upload whose success was never confirmed is first sent again as it was
    /// (same records, same key); once it is accepted, what was stored since follows.
    ///
    /// One upload is in flight at a time, process-wide. While another one is, this upload
    /// waits its turn, in call order, and builds its body only then, from what the stores
    /// hold at that moment; what it reports on this thread it then reports on the thread
    /// it runs on. `queue` is where it then runs (the work queue that called); without one,
    /// it runs on the thread that ended the upload before it.
    void sendPush(const LumvexConfiguration& configuration, PushCallback callback,
                  std::shared_ptr<platform::SerialQueue> queue = nullptr) const;

    /// Whether no upload is in flight or waiting its turn.
    static bool idle();

    /// The name of the header that carries `idempotencyKey`.
    static constexpr const char* IDEMPOTENCY_KEY_HEADER = "Idempotency-Key";
    /// What identifies one upload's records: a digest of the stored lines sent, in
    /// order, and of the description's compact JSON text when it is sent (`description`
    /// null otherwise). The same records give the same key; different ones another.
    static std::string idempotencyKey(const std::vector<std::string>& lines,
                                      const nlohmann::json& description);

    /// The base URL that a request made without arguments posts to: the build's
    /// LUMVEX_DEFAULT_ENDPOINT unless another was set.
    static std::string defaultEndpoint();

private:
    friend struct PushRequestTestAccess;

    /// Replaces the build's default endpoint, process-wide; `std::nullopt` restores it.
    static void setDefaultEndpoint(std::optional<std::string> endpoint);

    /// The push dictionary as the JSON text that is sent, with the stored lines that its
    /// "locations" came from, so that a successful upload removes exactly those, and the
    /// description it carries, so that exactly that one is recorded.
    struct PushData {
        std::string body;
        bool containsLocation = false;
        std::shared_ptr<const DeviceInfoUtils::Description> description;  // null: not sent
        bool writable = true;  // false: the description could not be written as JSON
        std::vector<std::string> traceLines;
        std::vector<std::string> recordLines;  // the lines behind "locations", one each
    };

    /// One upload's whole course, once its turn has come; ends the turn when it is over.
    /// An upload left unconfirmed by an earlier attempt goes first, and the fixes stored
    /// since follow in the same turn (`afterResend`), reporting to the same callback.
    void run(const LumvexConfiguration& configuration, PushCallback callback,
             std::shared_ptr<platform::SerialQueue> queue, bool afterResend = false) const;

    /// The body for `format` from what the stores hold now. Something is worth sending when
    /// it carries a fix (`containsLocation`) or a changed description (`description`).
    PushData buildPushData(PushFormat format) const;
    /// `dict` as compact JSON text; nothing, and an error line, when it holds text that is
    /// not UTF-8.
    static std::optional<std::string> jsonPushAsData(const nlohmann::json& dict);

    /// `endpoint`, the host's base URL from the configuration, replaces the regional one.
    std::string buildUrl(const std::string& apiKey, PushRegion pushRegion,
                         const std::optional<std::string>& endpoint = std::nullopt) const;
    /// The key as one path segment: what a segment may hold as it is (unreserved
    /// characters, sub-delimiters, ":" and "@"), every other byte percent-encoded, and "."
    /// and ".." wholly encoded so that they cannot climb.
    static std::string escapeApiKey(const std::string& apiKey);

    static constexpr const char* MAC = "020000000000";
    static constexpr const char* NO_ID = "noid";

    std::string endpointHostEu_;
    std::string endpointHostUs_;
};

}  // namespace lumvex
