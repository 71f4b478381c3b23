#pragma once

// Thread guarantees: every call is safe from any thread. A choice of location source holds
// from the next location request on.

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

/// Takes positions from gpsd at `host`:`port` ("localhost", "2947" is gpsd's default).
LUMVEX_API void useGpsd(const std::string& host, const std::string& port);

/// Takes positions from the system's location service, GeoClue, on the D-Bus system bus.
/// `desktopId` is the application's desktop file name without ".desktop" (e.g.
/// "org.example.Tracker"): GeoClue and the user's agent grant or refuse location by it. An
/// empty id stands for the executable's name. GeoClue's refusal counts as location services
/// being off.
///
/// Without either call the first location request chooses: GeoClue when the system bus
/// offers it, else gpsd at its default address. The debug log names the source once.
LUMVEX_API void useGeoClue(std::string desktopId);

}  // namespace platform
}  // namespace lumvex
