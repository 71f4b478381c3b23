#pragma once

#include <LumvexSdk/Export.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace lumvex {

/// A per-thread loop that runs timers and posted tasks, like a phone OS's run loop.
/// The library's timers fire on the run loop of the thread that called `Lumvex::start`,
/// and only while that loop runs.
class LUMVEX_API RunLoop {
public:
    /// The calling thread's run loop, made on first use.
    static RunLoop& current();

    /// Runs timers and tasks until `stop()` is called.
    void run();
    /// Runs timers and tasks for at most `duration` (or until `stop()`).
    void runFor(std::chrono::milliseconds duration);
    /// Makes `run` / `runFor` return soon. Safe from any thread.
    void stop();
    /// Runs `task` on this loop's thread. Safe from any thread.
    void post(std::function<void()> task);

    class Impl;
    explicit RunLoop(std::shared_ptr<Impl> impl);
    const std::shared_ptr<Impl>& impl() const { return impl_; }

private:
    std::shared_ptr<Impl> impl_;
};

namespace platform {

/// Directory whose Info.plist is the host's; by default the running executable's.
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
