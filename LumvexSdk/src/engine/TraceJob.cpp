#include "engine/TraceJob.h"

#include "platform/base/L.h"
#include "store/TraceRepository.h"

#include <chrono>

namespace lumvex {

std::shared_ptr<TraceJob> TraceJob::create(std::int64_t interval,
                                           std::shared_ptr<platform::SerialQueue> queue,
                                           TraceRepository& traces) {
    auto job = std::make_shared<TraceJob>(Passkey{}, interval, std::move(queue), traces);
    // The delegate is held weakly, so the job can only offer itself once it is owned.
    if (platform::LocationManager::locationServicesEnabled()) {
        job->attach();
    }
    return job;
}

TraceJob::TraceJob(Passkey, std::int64_t interval, std::shared_ptr<platform::SerialQueue> queue,
                   TraceRepository& traces)
    : BaseJob(interval, std::move(queue)),
      traces_(traces),
      locationManager_(std::make_shared<platform::LocationManager>()) {
    // A fix taken at the previous tick is about one interval old when the next tick reads it,
    // give or take timer and queue jitter. It must count as stale then, or every other tick
    // would store the same place again; a fix up to a second less than that is recent
    // enough to stand for the current position.
    const auto period = std::chrono::seconds(interval);
    const auto slack = std::min<std::chrono::steady_clock::duration>(std::chrono::seconds(1), period / 2);
    locationManager_->setMaximumFixAge(period - slack);
}

void TraceJob::attach() {
    locationManager_->setDelegate(std::static_pointer_cast<TraceJob>(shared_from_this()));
    locationManager_->setDesiredAccuracy(DESIRED_ACCURACY);
}

void TraceJob::onTimeInBackgroundThread() {
    if (!platform::LocationManager::locationServicesEnabled()) {
        LUMVEX_LOG_ERROR("onTimeInBackgroundThread()", "");
        return;
    }
    // Services that were off when the job was made have come on: without a delegate the
    // request below would report to nobody.
    if (!locationManager_->delegate()) {
        attach();
    }
    // The fix that answered the previous tick's request is still recent at this one, but it
    // is stored already: this tick asks for a new one instead.
    if (auto fix = locationManager_->recentFix(); fix && fix->serial != lastStoredSerial_) {
        store(fix->location, fix->serial);
        return;
    }
    // Asked and stored right here: handing the request to the manager's thread and its
    // outcome back through the host's run loop to this queue took three threads and a
    // dozen hand-offs per tick, for an exchange that takes well under a millisecond when
    // the source has a fix. Work queued meanwhile waits for it, at most the request's
    // timeout; a stop ends it through the request's wake descriptor.
    auto answer = locationManager_->requestLocationHere();
    if (!answer) {
        return;  // abandoned: the job is stopping
    }
    if (answer->error) {
        didFailWithError(*locationManager_, *answer->error);
        return;
    }
    if (!answer->locations.empty()) {
        store(answer->locations.front(), answer->serial);
    }
}

void TraceJob::abandonWork() {
    locationManager_->abandonRequests();
}

void TraceJob::store(const Location& location, std::uint64_t serial) {
    if (serial != 0 && serial == lastStoredSerial_) {
        return;
    }
    lastStoredSerial_ = serial;
    traces_.addTrace(location);
}

void TraceJob::didUpdateLocations(platform::LocationManager& manager,
                                  const std::vector<Location>& locations) {
    if (locations.empty()) {
        return;
    }
    // Deliveries arrive on the host's run loop; the store writes the disk, and so belongs on
    // the queue with every other store operation.
    queue()->async([job = std::static_pointer_cast<TraceJob>(shared_from_this()),
                    location = locations.front(),
                    serial = manager.deliveredSerial()] { job->store(location, serial); });
}

void TraceJob::didFailWithError(platform::LocationManager&, const platform::LocationError& error) {
    if (error.code == platform::LocationError::Code::SERVICES_DISABLED) {
        // GeoClue's refusal (no consent, or location switched off) is location services being
        // off, and is logged as the tick logs that.
        LUMVEX_LOG_ERROR("onTimeInBackgroundThread()", "");
        return;
    }
    LUMVEX_LOG_AT(LEVEL_WARNING, "locationManager(_:didFailWithError:)",
                  "Failed to find user's location: " + error.localizedDescription());
}

}  // namespace lumvex
