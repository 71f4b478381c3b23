#pragma once

#include <LumvexSdk/Lumvex.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace lumvex {

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
    void sendPush(const LumvexConfiguration& configuration, PushCallback callback) const;

    /// The base URL that a request made without arguments posts to: the build's
    /// LUMVEX_DEFAULT_ENDPOINT unless a test set another.
    static std::string defaultEndpoint();
    /// Process-wide; `std::nullopt` restores the build's value.
    static void setDefaultEndpointForTesting(std::optional<std::string> endpoint);

private:
    friend struct PushRequestTestAccess;

    /// The push dictionary, with the stored lines that its "locations" came from, so that
    /// a successful upload removes exactly those.
    struct PushData {
        nlohmann::json dict;
        std::vector<std::string> traceLines;
    };

    PushData buildPushData(PushFormat format) const;
    nlohmann::json buildJsonPushDataAsDict(PushFormat format) const;
    static bool dictContainsLocation(const nlohmann::json& dict);
    static bool dictContainsDeviceInfo(const nlohmann::json& dict);
    static std::optional<std::string> jsonPushAsData(const nlohmann::json& dict);

    /// `endpoint`, the host's base URL from the configuration, replaces the regional one.
    std::string buildUrl(const std::string& apiKey, PushRegion pushRegion,
                         const std::optional<std::string>& endpoint = std::nullopt) const;
    /// The key as one path segment: unreserved characters as they are, every other byte
    /// percent-encoded, and "." and ".." wholly encoded so that they cannot climb.
    static std::string escapeApiKey(const std::string& apiKey);

    static constexpr const char* MAC = "020000000000";
    static constexpr const char* NO_ID = "noid";

    std::string endpointHostEu_;
    std::string endpointHostUs_;
};

}  // namespace lumvex
