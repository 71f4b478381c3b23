#pragma once

// Thread guarantees: reads of an immutable configuration, safe from any thread.

#include <LumvexSdk/LumvexConfiguration.h>

namespace lumvex::detail {

/// The library's read access to a configuration's fields, which hosts do not see.
struct ConfigurationAccess {
    static const std::string& apiKey(const LumvexConfiguration& c) { return c.apiKey_; }
    static PushFormat pushFormat(const LumvexConfiguration& c) { return c.pushFormat_; }
    static PushRegion pushRegion(const LumvexConfiguration& c) { return c.pushRegion_; }
    static std::int64_t pushFrequency(const LumvexConfiguration& c) { return c.pushFrequency_; }
    static bool enableDebugLog(const LumvexConfiguration& c) { return c.enableDebugLog_; }
    /// Whether the host gave the key in code rather than leaving it to the Info.plist.
    static bool apiKeyFromHost(const LumvexConfiguration& c) { return c.apiKeyFromHost_; }
    /// The host's base URL for uploads, if it gave one.
    static const std::optional<std::string>& endpoint(const LumvexConfiguration& c) { return c.endpoint_; }
    /// Days and fixes the offline store keeps; 0 days when the host did not turn it on.
    static std::int64_t offlineDays(const LumvexConfiguration& c) { return c.offlineDays_; }
    static std::int64_t offlineMaxFixes(const LumvexConfiguration& c) { return c.offlineMaxFixes_; }
    static std::int64_t maxBatchSize(const LumvexConfiguration& c) { return c.maxBatchSize_; }

    /// Whether uploads can go below `baseUrl`: an absolute http or https URL with a host,
    /// ending in "/" and with neither query nor fragment, so that appending a path to it
    /// stays below it.
    static bool isValidEndpoint(const std::string& baseUrl);
};

}  // namespace lumvex::detail
