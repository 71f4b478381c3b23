#include "platform/Clock.h"

#include <algorithm>
#include <atomic>

namespace lumvex::platform {

Clock::TimePoint SystemClock::now() const {
    return std::chrono::steady_clock::now();
}

Clock::WallTime SystemClock::wallNow() const {
    return std::chrono::system_clock::now();
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

VirtualClock::VirtualClock(WallTime wallStart) : wall_(wallStart) {}

Clock::TimePoint VirtualClock::now() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return now_;
}

Clock::WallTime VirtualClock::wallNow() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return wall_;
}

void VirtualClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                             TimePoint deadline, const std::function<bool()>& wake,
                             const std::weak_ptr<ClockListener>& listener) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto known = std::any_of(listeners_.begin(), listeners_.end(), [&](const auto& l) {
            return !l.owner_before(listener) && !listener.owner_before(l);
        });
        if (!known) {
            listeners_.push_back(listener);
        }
    }
    // Time moves only through advance(), which wakes the listener; no timed wait needed.
    cv.wait(lock, [&] { return wake() || now() >= deadline; });
}

void VirtualClock::advance(std::chrono::nanoseconds by) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        now_ += std::chrono::duration_cast<TimePoint::duration>(by);
        wall_ += std::chrono::duration_cast<WallTime::duration>(by);
    }
    notifyListeners();
}

void VirtualClock::setWallTime(WallTime wall) {
    std::lock_guard<std::mutex> guard(mutex_);
    wall_ = wall;
}

void VirtualClock::notifyListeners() {
    std::vector<std::shared_ptr<ClockListener>> alive;
    {
        std::lock_guard<std::mutex> guard(mutex_);
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
std::shared_ptr<Clock>& installedClock() {
    static auto* slot = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
    return *slot;
}
std::mutex& clockMutex() {
    static auto* m = new std::mutex;
    return *m;
}
}  // namespace

std::shared_ptr<Clock> clock() {
    std::lock_guard<std::mutex> guard(clockMutex());
    return installedClock();
}

void setClock(std::shared_ptr<Clock> clock) {
    std::lock_guard<std::mutex> guard(clockMutex());
    installedClock() = clock ? std::move(clock) : std::make_shared<SystemClock>();
}

}  // namespace lumvex::platform
