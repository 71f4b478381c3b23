#include "TaskEnvironment.h"

#include "platform/base/RunLoop.h"
#include "platform/base/WorkListener.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace lumvex::test {

namespace {

// How often `runUntil` looks again when nothing it can hear of has happened.
constexpr std::chrono::milliseconds FALLBACK_RECHECK{50};

// What the library's threads report through the work listener. It outlives every
// environment: a worker may still be inside the listener after the last one removed it.
struct Activity {
    std::mutex mutex;
    std::condition_variable cv;
    std::uint64_t generation = 0;  // counts the reports
    int environments = 0;          // alive, each needing the listener installed
};

Activity& activity() {
    static auto* instance = new Activity();
    return *instance;
}

void workHappened() {
    Activity& a = activity();
    {
        std::lock_guard<std::mutex> guard(a.mutex);
        ++a.generation;
    }
    a.cv.notify_all();
}

}  // namespace

TaskEnvironment::TaskEnvironment(std::shared_ptr<platform::SerialQueue> queue) : queue_(std::move(queue)) {
    platform::setClock(clock_);
    Activity& a = activity();
    std::lock_guard<std::mutex> guard(a.mutex);
    if (a.environments++ == 0) {
        platform::setWorkListener(&workHappened);
    }
}

TaskEnvironment::~TaskEnvironment() {
    {
        Activity& a = activity();
        std::lock_guard<std::mutex> guard(a.mutex);
        if (--a.environments == 0) {
            platform::setWorkListener(nullptr);
        }
    }
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
    Activity& a = activity();
    while (true) {
        // Taken before looking, so that what happens while the predicate is checked still
        // ends the sleep below.
        std::uint64_t seen = 0;
        {
            std::lock_guard<std::mutex> guard(a.mutex);
            seen = a.generation;
        }
        runPending();
        if (predicate()) {
            return true;
        }
        std::unique_lock<std::mutex> lock(a.mutex);
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        a.cv.wait_until(lock, std::min(deadline, now + FALLBACK_RECHECK),
                        [&] { return a.generation != seen; });
    }
}

}  // namespace lumvex::test
