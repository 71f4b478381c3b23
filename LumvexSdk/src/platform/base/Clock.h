#pragma once

// Thread guarantees: every member of the clocks below, and `clock()` and `setClock()`, may be called
// from any thread at any time. A listener is told on the thread that moved the clock, after
// the move and without the clock's lock held, so it may read the clock and take locks of its
// own; it must not wait for a thread that may itself be moving the clock. Code that keeps
// the clock it got from `clock()` goes on using it after another one is installed.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/base/Wakeup.h"

namespace lumvex::platform {

/// Told when a virtual clock moves, so that a sleeper re-checks its deadline.
class ClockListener {
public:
    virtual ~ClockListener() = default;
    virtual void clockAdvanced() = 0;
};

/// Every timer deadline and every stored time stamp of the library goes through the
/// installed clock, so that a virtual clock can run a day of timers in milliseconds.
class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using WallTime = std::chrono::system_clock::time_point;

    virtual ~Clock() = default;
    /// Monotonic time, for timer deadlines.
    virtual TimePoint now() const = 0;
    /// Calendar time, for time stamps.
    virtual WallTime wallNow() const = 0;
    /// Calendar time in whole milliseconds since 1970, floored. Unlike `wallNow()`, whose
    /// nanosecond count ends in 2262, it holds any date a clock can be set to.
    virtual std::int64_t wallNowMilliseconds() const;
    /// Sleeps on `cv` until `wake()` holds or this clock reaches `deadline`.
    /// `listener` is told when the clock moves, if it can move by other means than time
    /// passing; it must then take the lock of `cv` and notify it.
    virtual void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                           TimePoint deadline, const std::function<bool()>& wake,
                           const std::weak_ptr<ClockListener>& listener) = 0;
    /// Like `waitUntil`, on a `Wakeup` rather than a condition variable, for the threads
    /// that sleep between every two ticks. `listener` must then notify `wakeup` after
    /// setting what `wake()` checks under `lock`'s mutex. Here `deadline` is taken as steady
    /// time, which suits any clock whose `now()` is the steady clock's.
    virtual void sleepUntil(std::unique_lock<std::mutex>& lock, Wakeup& wakeup, TimePoint deadline,
                            const std::function<bool()>& wake, const std::weak_ptr<ClockListener>& listener);
    /// Tells `listener` from now on whenever this clock moves by other means than time
    /// passing, until the listener is gone. For one that does not sleep on a condition
    /// variable, such as a poll that a timeout alone would not end early. A clock that only
    /// moves with time never calls it.
    virtual void addListener(const std::weak_ptr<ClockListener>& listener);
};

class SystemClock final : public Clock {
public:
    TimePoint now() const override;
    WallTime wallNow() const override;
    std::int64_t wallNowMilliseconds() const override;
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline,
                   const std::function<bool()>& wake, const std::weak_ptr<ClockListener>& listener) override;
};

/// A clock that moves only when told to. Monotonic and calendar time move together.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(WallTime wallStart = WallTime{} + std::chrono::hours(24 * 365 * 50));
    TimePoint now() const override;
    /// Saturates at the ends of `WallTime` when the calendar time lies beyond them.
    WallTime wallNow() const override;
    std::int64_t wallNowMilliseconds() const override;
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline,
                   const std::function<bool()>& wake, const std::weak_ptr<ClockListener>& listener) override;
    void sleepUntil(std::unique_lock<std::mutex>& lock, Wakeup& wakeup, TimePoint deadline,
                    const std::function<bool()>& wake, const std::weak_ptr<ClockListener>& listener) override;
    void addListener(const std::weak_ptr<ClockListener>& listener) override;

    /// Moves both times forward and wakes every sleeper so it re-checks its deadline.
    void advance(std::chrono::nanoseconds by);
    /// Sets calendar time only, e.g. to a moment before 1970.
    void setWallTime(WallTime wall);
    /// Sets calendar time only, to any moment, including ones `WallTime` cannot hold.
    void setWallTimeMilliseconds(std::int64_t msSinceEpoch);

private:
    void notifyListeners();

    mutable Mutex mutex_;
    TimePoint now_ LUMVEX_GUARDED_BY(mutex_){};
    // Calendar time as whole milliseconds and the nanoseconds past them, so that it can
    // go beyond what a nanosecond count holds.
    std::int64_t wallMs_ LUMVEX_GUARDED_BY(mutex_) = 0;
    std::chrono::nanoseconds wallSubMs_ LUMVEX_GUARDED_BY(mutex_){0};
    std::vector<std::weak_ptr<ClockListener>> listeners_ LUMVEX_GUARDED_BY(mutex_);
};

/// The installed clock; a `SystemClock` unless another was installed.
std::shared_ptr<Clock> clock();
/// Installs `clock` (nullptr restores the system clock).
void setClock(std::shared_ptr<Clock> clock);

}  // namespace lumvex::platform
