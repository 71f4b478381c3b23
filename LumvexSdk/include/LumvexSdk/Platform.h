#pragma once

#include <LumvexSdk/Export.h>
#include <LumvexSdk/RunLoop.h>

#include <string>

namespace lumvex {

namespace platform {

/// Directory whose Info.plist is the host's; by default the running executable's.
/// Call it before making a configuration: `Builder::build()` and the two factories read
/// the API key from the Info.plist at that moment, and the caches directory is named after
/// its bundle identifier when the library first touches its files.
LUMVEX_API void setMainBundleDirectory(const std::string& path);

/// The "location services enabled" switch; on by default.
LUMVEX_API void setLocationServicesEnabled(bool enabled);

/// Where gpsd listens; by default "localhost", "2947".
LUMVEX_API void useGpsd(const std::string& host, const std::string& port);

}  // namespace platform
}  // namespace lumvex
