#pragma once

// Thread guarantees: `create` and the timer calls of `BaseJob` run on the thread whose run
// loop is to tick. The tick's work, its location request and every store of a fix run on
// the job's serial queue, so `lastStoredSerial_` needs no lock. The two delegate calls
// arrive on the run loop that created the job, for a request made through the manager's
// own thread; the tick does not make those.

#include "engine/BaseJob.h"
#include "platform/location/LocationManager.h"
#include "store/TraceRepository.h"

#include <cstdint>
#include <limits>
#include <memory>

namespace lumvex {

/// Samples the device's position once per tick into the trace store: the location service's
/// recent fix when it has one, otherwise a one-shot request whose first fix is stored when it
/// arrives. It never asks for permission and never keeps the location service streaming.
class TraceJob final : public BaseJob, public platform::LocationManagerDelegate {
    struct Passkey {};

public:
    /// The coarsest accuracy there is: any fix will do.
    static constexpr double DESIRED_ACCURACY = std::numeric_limits<double>::max();

    /// A job sampling every `interval` seconds on `queue` into `traces`. Its location
    /// manager reports to the calling thread's run loop.
    static std::shared_ptr<TraceJob> create(std::int64_t interval,
                                            std::shared_ptr<platform::SerialQueue> queue,
                                            TraceRepository& traces);

    TraceJob(Passkey, std::int64_t interval, std::shared_ptr<platform::SerialQueue> queue,
             TraceRepository& traces);

    /// The tick: the recent fix when there is one, else one request to the location
    /// source made right here on the queue, whose fix is stored at once.
    void onTimeInBackgroundThread() override;

    void didUpdateLocations(platform::LocationManager& manager,
                            const std::vector<Location>& locations) override;
    void didFailWithError(platform::LocationManager& manager, const platform::LocationError& error) override;

protected:
    void abandonWork() override;

private:
    friend struct TraceJobTestAccess;

    /// Becomes the manager's delegate and sets its accuracy.
    void attach();
    /// On the queue: stores `location` unless it is the fix stored last.
    void store(const Location& location, std::uint64_t serial);

    TraceRepository& traces_;
    const std::shared_ptr<platform::LocationManager> locationManager_;
    std::uint64_t lastStoredSerial_ = 0;  // only touched on the queue
};

}  // namespace lumvex
