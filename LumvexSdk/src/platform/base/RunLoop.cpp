#include "platform/base/RunLoop.h"

#include "platform/base/L.h"
#include "platform/base/WorkListener.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string>

namespace lumvex {

namespace {
// A throwing timer action or task must not end the host's process or its loop.
void runGuarded(const std::function<void()>& work) {
    runLoggingFailure(work, "runGuarded", "Run loop task failed");
    platform::notifyWorkListener();
}
}  // namespace

RunLoop::RunLoop(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

RunLoop& RunLoop::current() {
    thread_local RunLoop loop(std::make_shared<Impl>());
    return loop;
}

void RunLoop::run() {
    impl_->run(platform::Clock::TimePoint::max());
}

void RunLoop::runFor(std::chrono::milliseconds duration) {
    impl_->run(platform::clock()->now() + duration);
}

void RunLoop::stop() {
    impl_->stop();
}

void RunLoop::post(std::function<void()> task) {
    impl_->post(std::move(task));
}

int RunLoop::eventDescriptor() {
    return impl_->eventDescriptor();
}

std::optional<std::chrono::milliseconds> RunLoop::nextTimeout() {
    return impl_->nextTimeout();
}

void RunLoop::runPending() {
    impl_->runPending();
}

RunLoop::Impl::~Impl() {
    platform::MutexLock guard(mutex_);
    if (eventFd_ >= 0) {
        ::close(eventFd_);
    }
}

int RunLoop::Impl::eventDescriptor() {
    platform::MutexLock guard(mutex_);
    if (eventFd_ < 0) {
        eventFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (eventFd_ < 0) {
            return -1;
        }
        // What came before the host asked is waiting all the same.
        if (!tasks_.empty() || !timers_.empty()) {
            signalHost();
        }
    }
    return eventFd_;
}

std::optional<std::chrono::milliseconds> RunLoop::Impl::nextTimeout() {
    auto clock = platform::clock();
    platform::MutexLock guard(mutex_);
    if (listenedClock_.lock() != clock) {
        // Adding a listener twice is harmless; a clock keeps only weak references.
        clock->addListener(weak_from_this());
        listenedClock_ = clock;
    }
    if (!tasks_.empty()) {
        return std::chrono::milliseconds(0);
    }
    std::optional<platform::Clock::TimePoint> next;
    for (const auto& t : timers_) {
        if (t->valid_ && (!next || t->nextFire_ < *next)) {
            next = t->nextFire_;
        }
    }
    if (!next) {
        return std::nullopt;
    }
    const auto left = *next - clock->now();
    if (left <= platform::Clock::TimePoint::duration::zero()) {
        return std::chrono::milliseconds(0);
    }
    // Rounded up: a host that woke a little early would find nothing due and spin.
    return std::chrono::ceil<std::chrono::milliseconds>(left);
}

void RunLoop::Impl::signalHost() {
    if (eventFd_ >= 0) {
        const std::uint64_t one = 1;
        // Full (EAGAIN) means readable already; nothing else can go wrong with an eventfd.
        [[maybe_unused]] const auto written = ::write(eventFd_, &one, sizeof(one));
    }
}

void RunLoop::Impl::post(std::function<void()> task) {
    {
        platform::MutexLock guard(mutex_);
        tasks_.push_back(std::move(task));
        signalHost();
    }
    wakeup_.notify();
    platform::notifyWorkListener();
}

void RunLoop::Impl::stop() {
    {
        platform::MutexLock guard(mutex_);
        stopRequested_ = true;
    }
    wakeup_.notify();
}

void RunLoop::Impl::clockAdvanced() {
    {
        platform::MutexLock guard(mutex_);
        woken_ = true;
        signalHost();
    }
    wakeup_.notify();
}

void RunLoop::Impl::add(const std::shared_ptr<Timer>& timer) {
    {
        platform::MutexLock guard(mutex_);
        timers_.push_back(timer);
        // A sleeping loop must recompute its deadline.
        woken_ = true;
        signalHost();
    }
    wakeup_.notify();
}

void RunLoop::Impl::remove(const Timer* timer) {
    timers_.erase(
        std::remove_if(timers_.begin(), timers_.end(), [timer](const auto& t) { return t.get() == timer; }),
        timers_.end());
}

void RunLoop::Impl::drainOnce(platform::Clock& clock) {
    const auto now = clock.now();
    std::vector<std::shared_ptr<Timer>> due;
    for (const auto& t : timers_) {
        if (t->valid_ && t->nextFire_ <= now) {
            due.push_back(t);
        }
    }
    for (const auto& t : due) {
        if (!t->valid_) {
            continue;  // invalidated by an earlier action of this same round
        }
        // Missed firings are skipped: the next one is the first multiple after now.
        const auto late = now - t->nextFire_;
        const auto skipped = late / t->interval_;
        t->nextFire_ += t->interval_ * (skipped + 1);
        auto action = t->action_;
        mutex_.unlock();
        if (action) {
            runGuarded(action);
        }
        action = nullptr;  // released before the lock is taken again
        mutex_.lock();
    }
    std::deque<std::function<void()>> tasks;
    tasks.swap(tasks_);
    mutex_.unlock();
    for (auto& task : tasks) {
        runGuarded(task);
        task = nullptr;
    }
    mutex_.lock();
}

void RunLoop::Impl::runPending() {
    auto self = shared_from_this();
    auto clock = platform::clock();
    platform::MutexLock lock(mutex_);
    // Emptied before the work runs: what is posted from now on makes it readable again.
    if (eventFd_ >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(eventFd_, &count, sizeof(count));
    }
    drainOnce(*clock);
}

void RunLoop::Impl::run(platform::Clock::TimePoint until) {
    auto self = shared_from_this();
    platform::MutexLock lock(mutex_);
    while (true) {
        auto clock = platform::clock();
        drainOnce(*clock);
        // A stop counts from when it is asked until a run returns, so one that comes just
        // before the run begins (from another thread, say) still ends it.
        const auto now = clock->now();
        if (stopRequested_ || now >= until) {
            stopRequested_ = false;
            return;
        }
        auto deadline = until;
        for (const auto& t : timers_) {
            deadline = std::min(deadline, t->nextFire_);
        }
        if (!tasks_.empty() || deadline <= now) {
            continue;
        }
        woken_ = false;
        // The clock checks the condition with the lock held, which the analysis cannot see
        // through the callback.
        clock->sleepUntil(
            lock.native(), wakeup_, deadline,
            [this]() LUMVEX_NO_THREAD_SAFETY_ANALYSIS { return woken_ || stopRequested_ || !tasks_.empty(); },
            self);
    }
}

Timer::Timer(std::chrono::nanoseconds interval, std::function<void()> action, std::weak_ptr<RunLoopImpl> loop,
             platform::Clock::TimePoint firstFire)
    : interval_(interval), loop_(std::move(loop)), action_(std::move(action)), nextFire_(firstFire) {}

std::shared_ptr<Timer> Timer::scheduledTimer(std::chrono::nanoseconds interval,
                                             std::function<void()> action) {
    // A non-positive period would fire without pause; the shortest period is one tick.
    interval = std::max(interval, std::chrono::nanoseconds(1));
    const auto& loop = detail::RunLoopAccess::current();
    auto timer =
        std::make_shared<Timer>(interval, std::move(action), loop, platform::clock()->now() + interval);
    loop->add(timer);
    return timer;
}

void Timer::invalidate() {
    std::function<void()> released;
    if (auto loop = loop_.lock()) {
        platform::MutexLock guard(loop->mutex_);
        valid_ = false;
        released.swap(action_);
        loop->remove(this);
    } else {
        valid_ = false;
        released.swap(action_);
    }
    // `released` goes out of scope here, outside the loop's lock: its captures may own
    // objects whose destructors reach back into the library.
}

}  // namespace lumvex
