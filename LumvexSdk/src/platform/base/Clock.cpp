#include "platform/base/Clock.h"

#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <limits>

namespace lumvex::platform {

Clock::TimePoint SystemClock::now() const {
    return std::chrono::steady_clock::now();
}

Clock::WallTime SystemClock::wallNow() const {
    return std::chrono::system_clock::now();
}

std::int64_t Clock::wallNowMilliseconds() const {
    const auto since = wallNow().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since);
    if (ms > since) {
        ms -= std::chrono::milliseconds(1);  // floor, not toward zero, before 1970
    }
    return ms.count();
}

std::int64_t SystemClock::wallNowMilliseconds() const {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // tv_sec is 64-bit: seconds times 1000 stays in range for 292 million years.
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SystemClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                            TimePoint deadline, const std::function<bool()>& wake,
                            const std::weak_ptr<ClockListener>&) {
    if (deadline == TimePoint::max()) {
        cv.wait(lock, wake);
    } else {
        cv.wait_until(lock, deadline, wake);
    }
}

void Clock::sleepUntil(std::unique_lock<std::mutex>& lock, Wakeup& wakeup, TimePoint deadline,
                       const std::function<bool()>& wake, const std::weak_ptr<ClockListener>& listener) {
    addListener(listener);
    while (!wake() && now() < deadline) {
        wakeup.waitUntil(lock, deadline);
    }
}

void Clock::addListener(const std::weak_ptr<ClockListener>&) {}

namespace {
void splitMilliseconds(Clock::WallTime wall, std::int64_t& ms, std::chrono::nanoseconds& subMs) {
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(wall.time_since_epoch());
    auto whole = std::chrono::duration_cast<std::chrono::milliseconds>(since);
    if (whole > since) {
        whole -= std::chrono::milliseconds(1);
    }
    ms = whole.count();
    subMs = since - whole;
}
}  // namespace

VirtualClock::VirtualClock(WallTime wallStart) {
    splitMilliseconds(wallStart, wallMs_, wallSubMs_);
}

Clock::TimePoint VirtualClock::now() const {
    MutexLock guard(mutex_);
    return now_;
}

Clock::WallTime VirtualClock::wallNow() const {
    MutexLock guard(mutex_);
    using Ns = std::chrono::nanoseconds;
    constexpr std::int64_t limitMs = std::numeric_limits<Ns::rep>::max() / 1000000 - 1;
    if (wallMs_ > limitMs) {
        return WallTime::max();
    }
    if (wallMs_ < -limitMs) {
        return WallTime::min();
    }
    const Ns since = std::chrono::milliseconds(wallMs_) + wallSubMs_;
    return WallTime(std::chrono::duration_cast<WallTime::duration>(since));
}

std::int64_t VirtualClock::wallNowMilliseconds() const {
    MutexLock guard(mutex_);
    return wallMs_;
}

void VirtualClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                             TimePoint deadline, const std::function<bool()>& wake,
                             const std::weak_ptr<ClockListener>& listener) {
    addListener(listener);
    // Time moves only through advance(), which wakes the listener; no timed wait needed.
    cv.wait(lock, [&] { return wake() || now() >= deadline; });
}

void VirtualClock::sleepUntil(std::unique_lock<std::mutex>& lock, Wakeup& wakeup, TimePoint deadline,
                              const std::function<bool()>& wake,
                              const std::weak_ptr<ClockListener>& listener) {
    addListener(listener);
    while (!wake() && now() < deadline) {
        wakeup.wait(lock);
    }
}

void VirtualClock::addListener(const std::weak_ptr<ClockListener>& listener) {
    MutexLock guard(mutex_);
    listeners_.erase(
        std::remove_if(listeners_.begin(), listeners_.end(), [](const auto& l) { return l.expired(); }),
        listeners_.end());
    const bool known = std::any_of(listeners_.begin(), listeners_.end(), [&](const auto& l) {
        return !l.owner_before(listener) && !listener.owner_before(l);
    });
    if (!known) {
        listeners_.push_back(listener);
    }
}

void VirtualClock::advance(std::chrono::nanoseconds by) {
    {
        MutexLock guard(mutex_);
        now_ += std::chrono::duration_cast<TimePoint::duration>(by);
        const auto total = wallSubMs_ + by;
        auto whole = std::chrono::duration_cast<std::chrono::milliseconds>(total);
        if (whole > total) {
            whole -= std::chrono::milliseconds(1);
        }
        wallMs_ += whole.count();
        wallSubMs_ = total - whole;
    }
    notifyListeners();
}

void VirtualClock::setWallTime(WallTime wall) {
    MutexLock guard(mutex_);
    splitMilliseconds(wall, wallMs_, wallSubMs_);
}

void VirtualClock::setWallTimeMilliseconds(std::int64_t msSinceEpoch) {
    MutexLock guard(mutex_);
    wallMs_ = msSinceEpoch;
    wallSubMs_ = std::chrono::nanoseconds(0);
}

void VirtualClock::notifyListeners() {
    std::vector<std::shared_ptr<ClockListener>> alive;
    {
        MutexLock guard(mutex_);
        listeners_.erase(
            std::remove_if(listeners_.begin(), listeners_.end(), [](const auto& l) { return l.expired(); }),
            listeners_.end());
        for (const auto& l : listeners_) {
            if (auto strong = l.lock()) {
                alive.push_back(std::move(strong));
            }
        }
    }
    for (const auto& l : alive) {
        l->clockAdvanced();
    }
}

namespace {
Guarded<std::shared_ptr<Clock>>& installedClock() {
    static NoDestructor<Guarded<std::shared_ptr<Clock>>> slot(std::make_shared<SystemClock>());
    return *slot;
}
}  // namespace

std::shared_ptr<Clock> clock() {
    return installedClock().with([](const std::shared_ptr<Clock>& installed) { return installed; });
}

void setClock(std::shared_ptr<Clock> clock) {
    auto replacement = clock ? std::move(clock) : std::make_shared<SystemClock>();
    installedClock().with([&](std::shared_ptr<Clock>& installed) { installed.swap(replacement); });
}

}  // namespace lumvex::platform
