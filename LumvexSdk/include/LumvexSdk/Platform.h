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

/// The application's identity, for a host without an Info.plist (a service, a script, a
/// program in another language): `identifier` (reverse-DNS, e.g. "org.example.Tracker")
/// names the folder of its stores and the vendor part of "google_aid", and `version` is
/// sent as "app_version", in place of the Info.plist's "CFBundleIdentifier" and
/// "CFBundleShortVersionString". Call it before anything else of the library's, as
/// `setMainBundleDirectory`. An empty identifier goes back to the Info.plist.
///
/// Without an identifier from either, the store is named after the executable and the API
/// key ("python3.11-<16 hex digits>"), so that two hosts of one executable never share it;
/// fixes handed over before any configuration with a key was built then have no store.
LUMVEX_API void setApplicationIdentity(const std::string& identifier, const std::string& version);

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
/// lock). What it throws is dropped; a thread that it ends (pthread_exit, an interpreter
/// ending its threads at exit) is let go. An empty function (or nullptr) restores standard
/// output. Safe to call at any time, from any thread, also from inside the handler. It
/// returns once no other thread is still inside the old handler, so that the host may then
/// tear down what that handler uses; hence never call it while holding a lock that the
/// handler takes.
LUMVEX_API void setLogHandler(std::function<void(std::string_view line)> handler);

/// How much a log line matters to an operator. The names carry a prefix because ERROR and
/// DEBUG are macros in many builds.
enum class LogLevel {
    LEVEL_ERROR = 0,    ///< something failed: a refused start, a failed write or upload
    LEVEL_WARNING = 1,  ///< the library carries on, but the host may want to act
    LEVEL_INFO = 2,     ///< what the library did: a source chosen, an upload answered
    LEVEL_DEBUG = 3,    ///< detail of ordinary runs: a file not there yet, nothing to send
};

/// Like `setLogHandler`, with each line's level beside its unchanged text, for a journal
/// or syslog priority. Replaces any handler set either way; an empty function restores
/// standard output.
LUMVEX_API void setLogHandlerWithLevel(std::function<void(LogLevel level, std::string_view line)> handler);

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
