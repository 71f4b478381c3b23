#include "TaskEnvironment.h"

#include "platform/RunLoop.h"

namespace lumvex::test {

TaskEnvironment::TaskEnvironment(std::shared_ptr<platform::SerialQueue> queue) : queue_(std::move(queue)) {
    platform::setClock(clock_);
}

TaskEnvironment::~TaskEnvironment() {
    platform::setClock(nullptr);
}

bool TaskEnvironment::fastForwardBy(std::chrono::nanoseconds by) {
    clock_->advance(by);
    runPending();
    return !queue_ || queue_->drain(std::chrono::seconds(10));
}

void TaskEnvironment::runPending() {
    detail::RunLoopAccess::current()->runPending();
}

bool TaskEnvironment::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        runPending();
        if (predicate()) {
            return true;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        cv_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(2)),
                       [&] { return notified_; });
        notified_ = false;
    }
}

void TaskEnvironment::notify() {
    std::lock_guard<std::mutex> guard(mutex_);
    notified_ = true;
    cv_.notify_all();
}

}  // namespace lumvex::test
