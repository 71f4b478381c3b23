#pragma once

// Thread guarantees: each run loop belongs to one thread, the one whose `RunLoop::current()` made it,
// and `run` and `runPending` must be called on that thread only. `post` and `stop` are safe
// from any thread. A timer belongs to the loop of the thread that scheduled it; its action
// and every posted task run on that thread, while its loop runs, never on the caller's
// thread or inside `post`. `Timer::invalidate` is safe from any thread, and once it has
// returned the action never starts again (a firing under way completes).
//
// The state behind the public run loop, and the timers that it fires.

#include <LumvexSdk/RunLoop.h>

#include "platform/base/Clock.h"
#include "platform/base/ThreadAnnotations.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace lumvex {

class Timer;

namespace detail {
/// The way from a run loop to the state behind it, for the library's own classes and its
/// tests; hosts see only the loop.
struct RunLoopAccess {
    using Impl = RunLoop::Impl;
    static const std::shared_ptr<Impl>& impl(const RunLoop& loop) { return loop.impl_; }
    /// The calling thread's.
    static const std::shared_ptr<Impl>& current() { return impl(RunLoop::current()); }
};
}  // namespace detail

using RunLoopImpl = detail::RunLoopAccess::Impl;

/// The state behind one thread's run loop: its posted tasks and its timers.
class RunLoop::Impl final : public platform::ClockListener,
                            public std::enable_shared_from_this<RunLoop::Impl> {
public:
    void run(platform::Clock::TimePoint until);
    void stop();
    void post(std::function<void()> task);
    /// Runs every task posted so far and every timer due now, then returns.
    void runPending();
    /// See the public `RunLoop` members of the same names.
    int eventDescriptor();
    std::optional<std::chrono::milliseconds> nextTimeout();

    ~Impl() override;

    void clockAdvanced() override;

private:
    friend class Timer;
    void add(const std::shared_ptr<Timer>& timer) LUMVEX_EXCLUDES(mutex_);
    void remove(const Timer* timer) LUMVEX_REQUIRES(mutex_);
    /// Fires the due timers and runs the queued tasks once. Lets the lock go around each
    /// action and task, and holds it again when it returns.
    void drainOnce(platform::Clock& clock) LUMVEX_REQUIRES(mutex_);
    /// Makes the event descriptor readable, if a host asked for one.
    void signalHost() LUMVEX_REQUIRES(mutex_);

    // A descriptor for a host's own loop: -1 until a host asks for one. A virtual clock
    // that moves must wake that loop too, so the loop listens to the clock in force when
    // the host last asked for the timeout.
    int eventFd_ LUMVEX_GUARDED_BY(mutex_) = -1;
    std::weak_ptr<platform::Clock> listenedClock_ LUMVEX_GUARDED_BY(mutex_);

    platform::Mutex mutex_;
    // Notified after the lock is let go, so that the loop's thread does not wake only to
    // block on the lock that its waker still holds.
    platform::Wakeup wakeup_;
    std::deque<std::function<void()>> tasks_ LUMVEX_GUARDED_BY(mutex_);
    std::vector<std::shared_ptr<Timer>> timers_ LUMVEX_GUARDED_BY(mutex_);
    bool stopRequested_ LUMVEX_GUARDED_BY(mutex_) = false;
    bool woken_ LUMVEX_GUARDED_BY(mutex_) = false;
};

/// A repeating timer on the run loop of the thread that scheduled it. The first firing
/// comes one interval after scheduling; firings that a busy or sleeping loop missed are
/// not made up, the next one is the next multiple of the interval.
class Timer final {
public:
    /// Schedules `action` every `interval` on the calling thread's run loop. The timer
    /// holds `action` (and what it captures) until `invalidate()`.
    static std::shared_ptr<Timer> scheduledTimer(std::chrono::nanoseconds interval,
                                                 std::function<void()> action);

    /// Removes the timer from its loop and releases its action. Safe from any thread;
    /// a firing already under way on the loop's thread completes.
    void invalidate();

    Timer(std::chrono::nanoseconds interval, std::function<void()> action, std::weak_ptr<RunLoopImpl> loop,
          platform::Clock::TimePoint firstFire);

private:
    friend RunLoopImpl;
    const std::chrono::nanoseconds interval_;
    std::weak_ptr<RunLoopImpl> loop_;
    // Guarded by the loop's mutex.
    std::function<void()> action_;
    platform::Clock::TimePoint nextFire_;
    bool valid_ = true;
};

}  // namespace lumvex
