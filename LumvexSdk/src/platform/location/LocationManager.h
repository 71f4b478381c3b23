#pragma once

// Threads: every member function of LocationManager, and the free functions below, may be
// called from any thread; the manager's settings and the process-wide source and last fix
// each sit behind a lock. The delegate's calls arrive on the run loop of the thread that
// created the manager, and only while that loop runs. The I/O of a request runs on a thread
// of the manager's own ("lumvex-gps"), which never calls the delegate; destroying the
// manager ends that thread (or lets it end by itself while a name lookup or connect blocks it).

#include <LumvexSdk/Location.h>
#include <LumvexSdk/Platform.h>

#include "platform/base/Clock.h"
#include "platform/base/RunLoop.h"
#include "platform/base/ThreadAnnotations.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumvex {
namespace platform {

/// Why a location request failed.
struct LocationError {
    enum class Code {
        /// The "location services enabled" switch is off.
        SERVICES_DISABLED,
        /// gpsd could not be reached at the configured address.
        SERVICE_UNREACHABLE,
        /// gpsd closed the connection or stopped answering properly.
        CONNECTION_LOST,
        /// gpsd answered, but no receiver had a position fix in time.
        LOCATION_UNKNOWN,
    };

    Code code;
    std::string description;

    /// What happened, in a sentence, for logs.
    const std::string& localizedDescription() const { return description; }
};

class LocationManager;

/// Receives the outcome of `LocationManager::requestLocation`, on the run loop of the thread
/// that created the manager.
class LocationManagerDelegate {
public:
    virtual ~LocationManagerDelegate() = default;
    /// One or more fixes; the list is never empty when it comes from gpsd.
    virtual void didUpdateLocations(LocationManager& manager, const std::vector<Location>& locations) = 0;
    virtual void didFailWithError(LocationManager& manager, const LocationError& error) = 0;
};

/// The device's position, from gpsd through libgps or from the system's GeoClue over D-Bus
/// (`useGpsd`, `useGeoClue`, or the automatic choice of the first request), or from any
/// other source registered as LocationSourceKind.h says.
///
/// The manager keeps no connection between requests: each request connects, asks for one
/// fix and hangs up (or stops its GeoClue client) as soon as it has an answer. gpsd is asked
/// for the fixes its receivers hold, with reports streamed only if none has a fix yet. The
/// I/O runs on a thread of the manager's own ("lumvex-gps"), so a request never blocks its
/// caller, and that thread sleeps between requests.
///
/// Owned through `std::shared_ptr` (deliveries check that the manager is still alive).
class LocationManager final : public std::enable_shared_from_this<LocationManager> {
public:
    /// The accuracy a manager asks for until told otherwise: the best available.
    static constexpr double ACCURACY_BEST = -1.0;
    /// How long a request may wait for a fix, unless set otherwise.
    static constexpr std::chrono::seconds DEFAULT_REQUEST_TIMEOUT{5};

    /// Whether the "location services enabled" switch is on.
    static bool locationServicesEnabled();

    /// Deliveries go to the calling thread's run loop.
    LocationManager();
    /// Abandons an outstanding request; its outcome is never delivered.
    ~LocationManager();

    LocationManager(const LocationManager&) = delete;
    LocationManager& operator=(const LocationManager&) = delete;

    /// The delegate is held weakly: a delegate that is gone is not reported to.
    void setDelegate(std::weak_ptr<LocationManagerDelegate> delegate);
    std::shared_ptr<LocationManagerDelegate> delegate() const;

    /// In metres; smaller is finer. gpsd reports what its receivers have, so this only
    /// records what the user of the manager asked for.
    void setDesiredAccuracy(double metres);
    double desiredAccuracy() const;

    /// The freshest fix that this process obtained from the location service, through any
    /// manager, if it is younger than `maximumFixAge`; otherwise none. Its age counts from
    /// when the receiver measured it, where the service says so. Never does I/O.
    std::optional<Location> location() const;

    /// A fix and its serial: the same measurement, however often the service hands it over,
    /// keeps one serial, so a user can tell a new fix from one it has seen.
    struct Fix {
        Location location;
        std::uint64_t serial;
    };
    /// `location()` with its serial.
    std::optional<Fix> recentFix() const;
    /// The serial of the first fix of the delivery under way; read it in `didUpdateLocations`.
    std::uint64_t deliveredSerial() const;
    /// How many deliveries of fixes this manager has made.
    std::uint64_t deliveries() const;

    /// How old a fix may be and still count for `location()`; unbounded by default.
    void setMaximumFixAge(Clock::TimePoint::duration age);
    Clock::TimePoint::duration maximumFixAge() const;

    /// Asks gpsd for the current fixes and returns at once. The outcome reaches the delegate
    /// later, once: the fixes, or an error when services are off, gpsd cannot be reached or
    /// goes away, or no receiver has a fix within the request timeout. A call while a request
    /// is outstanding joins it.
    void requestLocation();

    /// What `requestLocationHere` came to: the fixes and the first one's serial, or why
    /// there are none.
    struct Answer {
        std::vector<Location> locations;
        std::uint64_t serial = 0;
        std::optional<LocationError> error;
    };
    /// The same request as `requestLocation`, made on the calling thread, which waits for
    /// the outcome: for a caller that runs on a thread of its own and would otherwise hand
    /// the request to the manager's thread and take the outcome back from its run loop.
    /// The delegate is not told. Nothing when `abandonRequests` or the manager's end
    /// abandoned it. One caller at a time.
    std::optional<Answer> requestLocationHere();
    /// Ends a `requestLocationHere` under way on another thread through its wake
    /// descriptor, and refuses every later one: for the owner that is stopping.
    void abandonRequests();

    class Worker;

private:
    void postFailure(LocationError error);
    void setDeliveredSerial(std::uint64_t serial);

    mutable Mutex mutex_;
    std::weak_ptr<LocationManagerDelegate> delegate_ LUMVEX_GUARDED_BY(mutex_);
    double desiredAccuracy_ LUMVEX_GUARDED_BY(mutex_) = ACCURACY_BEST;
    Clock::TimePoint::duration maximumFixAge_ LUMVEX_GUARDED_BY(mutex_) = Clock::TimePoint::duration::max();
    const Clock::TimePoint::duration requestTimeout_ = DEFAULT_REQUEST_TIMEOUT;
    std::uint64_t deliveredSerial_ LUMVEX_GUARDED_BY(mutex_) = 0;
    std::uint64_t deliveries_ LUMVEX_GUARDED_BY(mutex_) = 0;
    const std::weak_ptr<RunLoopImpl> loop_;
    std::shared_ptr<Worker> worker_ LUMVEX_GUARDED_BY(mutex_);  // made by the first request
    // Asks on the caller's thread; made by the first `requestLocationHere`.
    std::shared_ptr<Worker> here_ LUMVEX_GUARDED_BY(mutex_);
};

/// Forgets `useGpsd` and `useGeoClue`: the next request chooses the source again, as the first
/// one of a process does.
void chooseLocationSourceAutomatically();

}  // namespace platform
}  // namespace lumvex
