#pragma once

#include <LumvexSdk/LumvexConfiguration.h>

namespace lumvex::detail {

/// The library's read access to a configuration's fields, which hosts do not see.
struct ConfigurationAccess {
    static const std::string& apiKey(const LumvexConfiguration& c) { return c.apiKey_; }
    static PushFormat pushFormat(const LumvexConfiguration& c) { return c.pushFormat_; }
    static PushRegion pushRegion(const LumvexConfiguration& c) { return c.pushRegion_; }
    static std::int64_t pushFrequency(const LumvexConfiguration& c) { return c.pushFrequency_; }
    static bool enableDebugLog(const LumvexConfiguration& c) { return c.enableDebugLog_; }
};

}  // namespace lumvex::detail
