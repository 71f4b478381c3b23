#pragma once

#include "platform/base/Clock.h"
#include "platform/base/SerialQueue.h"

#include <chrono>
#include <functional>
#include <memory>

namespace lumvex::test {

/// Virtual time for one test, driven from the test's own thread.
///
/// Installs a virtual clock for its life and removes it at the end. Timers belong to the
/// run loop of the thread that scheduled them, so it drives the calling thread's loop; when
/// given the queue that the timers feed, it also waits for that queue to run what they
/// enqueued. `runPending` and `runUntil` drive the loop of the thread that calls them, so
/// a host thread of a stress test may use them too; the clock is safe from any thread.
class TaskEnvironment {
public:
    explicit TaskEnvironment(std::shared_ptr<platform::SerialQueue> queue = nullptr);
    ~TaskEnvironment();
    TaskEnvironment(const TaskEnvironment&) = delete;
    TaskEnvironment& operator=(const TaskEnvironment&) = delete;

    platform::VirtualClock& clock() { return *clock_; }

    /// Moves time on by `by`, fires what became due on this thread's run loop and waits for
    /// the queue (if any) to finish what that enqueued. Returns false when the queue did not
    /// drain in time.
    [[nodiscard]] bool fastForwardBy(std::chrono::nanoseconds by);

    /// Runs the tasks posted to this thread's run loop and the timers due now, without
    /// moving time.
    void runPending();

    /// Runs this thread's run loop until `predicate` holds, up to `timeout` of real time.
    /// Between checks it sleeps until a serial queue item or a run loop task or timer has run,
    /// or a task was posted to a run loop, on any thread. Work that ends on a thread of
    /// neither kind (gpsd's connection, the upload thread, a server of the test) does not
    /// wake it, so it also re-checks every 50 ms. Returns whether the predicate held.
    bool runUntil(const std::function<bool()>& predicate,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    std::shared_ptr<platform::VirtualClock> clock_ = std::make_shared<platform::VirtualClock>();
    std::shared_ptr<platform::SerialQueue> queue_;
};

}  // namespace lumvex::test
