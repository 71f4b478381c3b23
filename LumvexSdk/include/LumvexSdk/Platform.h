#pragma once

// Thread guarantees: every call is safe from any thread. A choice of location source holds
// from the next location request on. A log handler is called on whichever thread logs, one
// line per call, possibly on several threads at once.

#include <LumvexSdk/Export.h>
#include <LumvexSdk/RunLoop.h>

#include <functional>
#include <string>
#include <string_view>

namespace lumvex {

namespace platform {

/// Directory whose Info.plist is the host's; by default the running executable's.
/// Call it before making a configuration: `Builder::build()` and the two factories read
/// the API key from the Info.plist at that moment, and the caches directory is named after
/// its bundle identifier when the library first touches its files.
LUMVEX_API void setMainBundleDirectory(const std::string& path);

/// The directory under which the library keeps its two small files, in a folder named after
/// the bundle identifier (else the executable's name), e.g. `path`/org.example.Tracker/.
/// Call it before `Lumvex::start`; an empty path goes back to the default. `path` must be
/// absolute and hold no NUL byte, and is used as given: when it cannot be used, `start` is
/// refused, never moved elsewhere.
///
/// Without it the first of these that is set and absolute is the base: `$XDG_CACHE_HOME`,
/// systemd's `$CACHE_DIRECTORY` (its first entry; `CacheDirectory=` in a unit sets it),
/// `$HOME/.cache`, then `.cache` in the home directory of the user's passwd entry. Where
/// none can be had, or the folder cannot be made private to this user, `start` returns
/// `ERROR` and says why in the log.
LUMVEX_API void setCachesDirectory(const std::string& path);

/// Sends the debug log to `handler` instead of standard output (journald, syslog, a file):
/// the same lines, without their line feed, while the same switch is on
/// (`enableDebugLog`), and the reason for a refused start. The handler is called on
/// whichever thread logs, possibly several at once, so it must be safe from any thread;
/// it must not block for long, since the library's own threads wait for it, and must not
/// call the library's `Lumvex` operations (some lines are written while they hold their
/// lock). What it throws is dropped. An empty function (or nullptr) restores standard output. Safe to call
/// at any time, from any thread; a line under way goes wholly to the old or the new one.
LUMVEX_API void setLogHandler(std::function<void(std::string_view line)> handler);

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
