#include "engine/BaseJob.h"

#include "platform/base/L.h"

#include <algorithm>
#include <chrono>

namespace lumvex {

BaseJob::BaseJob(std::int64_t interval, std::shared_ptr<platform::SerialQueue> queue)
    : interval_(interval), queue_(std::move(queue)) {}

BaseJob::~BaseJob() = default;

void BaseJob::startJob() {
    platform::MutexLock guard(mutex_);
    if (timer_) {
        return;
    }
    // The timer holds the job until it is invalidated.
    const auto period = std::chrono::seconds(std::min(interval_, MAX_TIMER_INTERVAL_SECONDS));
    timer_ = Timer::scheduledTimer(period, [self = shared_from_this()] { self->onTime(); });
}

void BaseJob::stopTimer() {
    std::shared_ptr<Timer> timer;
    {
        platform::MutexLock guard(mutex_);
        timer.swap(timer_);
    }
    if (timer) {
        timer->invalidate();
    }
    abandonWork();
}

void BaseJob::onTime() {
    if (!queue_->async([self = shared_from_this()] { self->onTimeInBackgroundThread(); })) {
        LUMVEX_LOG_ERROR("onTime()", "The work queue has no thread, the tick's work is dropped");
    }
}

}  // namespace lumvex
