#pragma once

// Thread guarantees: `startJob` schedules the timer on the calling thread's run loop, whose
// thread then receives the ticks; `startJob` and `stopTimer` may be called from any thread
// (the engine calls both from the host's). `onTimeInBackgroundThread` runs on the job's
// serial queue, one tick at a time and never beside other work of that queue.

#include "platform/base/RunLoop.h"
#include "platform/base/SerialQueue.h"
#include "platform/base/ThreadAnnotations.h"

#include <cstdint>
#include <memory>

namespace lumvex {

/// A periodic job: a repeating timer on the run loop of the thread that starts it, whose
/// every tick becomes one work item on the engine's serial queue. The tick itself does
/// nothing else, so a slow job never blocks the host's thread.
class BaseJob : public std::enable_shared_from_this<BaseJob> {
public:
    /// The longest period a timer is given: a century. Longer intervals (the engine accepts
    /// upload periods up to the largest number of seconds) would not fit the timer's
    /// clock; they all mean "not within the life of the process".
    static constexpr std::int64_t MAX_TIMER_INTERVAL_SECONDS = std::int64_t{100} * 365 * 24 * 60 * 60;

    /// `interval` is in seconds. No timer is made yet.
    BaseJob(std::int64_t interval, std::shared_ptr<platform::SerialQueue> queue);
    virtual ~BaseJob();

    BaseJob(const BaseJob&) = delete;
    BaseJob& operator=(const BaseJob&) = delete;

    /// The job's work, on the serial queue, once per tick.
    virtual void onTimeInBackgroundThread() {}

    /// Schedules the repeating timer on the calling thread's run loop, unless there is one.
    void startJob();
    /// Invalidates and drops the timer, if there is one. Ticks already queued still run,
    /// and one under way is told to end (`abandonWork`).
    void stopTimer();

protected:
    /// Called by `stopTimer` on its caller's thread: a tick under way that waits for
    /// something outside the process ends soon after.
    virtual void abandonWork() {}

    const std::shared_ptr<platform::SerialQueue>& queue() const { return queue_; }

private:
    friend struct BaseJobTestAccess;

    void onTime();

    const std::int64_t interval_;
    const std::shared_ptr<platform::SerialQueue> queue_;
    mutable platform::Mutex mutex_;
    std::shared_ptr<Timer> timer_ LUMVEX_GUARDED_BY(mutex_);
};

}  // namespace lumvex
