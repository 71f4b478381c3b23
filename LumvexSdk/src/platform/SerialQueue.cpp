#include "platform/SerialQueue.h"

#include "L.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/WorkListener.h"

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace lumvex::platform {

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> items;
    bool closing = false;
    // Whether the worker sleeps on `cv`: only then does a push notify it. While it works
    // through items it finds each new one by itself, so most pushes make no call at all.
    bool workerWaiting = false;
    Thread worker;  // made at the first need, guarded by mutex
    // The process in which the worker was made, 0 before. Read without the lock: in a
    // forked child the worker may have held it at the fork.
    std::atomic<pid_t> workerPid{0};

    /// Whether the worker was made in another process, of which this one is a fork.
    bool workerElsewhere() const {
        const pid_t pid = workerPid.load();
        return pid != 0 && pid != currentProcessId();
    }
};

namespace {
void workerLoop(const std::shared_ptr<SerialQueue::State>& state) {
    std::unique_lock<std::mutex> lock(state->mutex);
    while (true) {
        if (!state->closing && state->items.empty()) {
            state->workerWaiting = true;
            state->cv.wait(lock, [&] { return state->closing || !state->items.empty(); });
            state->workerWaiting = false;
        }
        if (state->items.empty()) {
            return;  // closing and nothing left
        }
        auto item = std::move(state->items.front());
        state->items.pop_front();
        lock.unlock();
        // A throwing item must not end the process, nor the queue and every later item.
        try {
            item();
        } catch (const std::exception& e) {
            LUMVEX_LOG_ERROR("workerLoop", std::string("Work item failed : ") + e.what());
        } catch (...) {
            LUMVEX_LOG_ERROR("workerLoop", "Work item failed");
        }
        item = nullptr;  // what the item captured is released outside the lock
        notifyWorkListener();
        lock.lock();
    }
}

/// Makes the worker; the caller holds the state's lock and found none. Kept out of line:
/// it runs once per queue, while the check before it is on every host call.
[[gnu::noinline]] bool makeWorker(const std::shared_ptr<SerialQueue::State>& state) {
    try {
        state->worker = Thread([state] { workerLoop(state); });
    } catch (const std::system_error&) {
        return false;  // no thread to be had now (EAGAIN); a later need tries again
    }
    // Named here rather than by the thread itself, so the name is there as soon as the
    // thread is, for a debugger, `top -H` or a crash report.
    pthread_setname_np(state->worker.native_handle(), "lumvex-queue");
    state->workerPid.store(currentProcessId());
    noteLibraryThreadMade();
    return true;
}
}  // namespace

SerialQueue::SerialQueue() : state_(std::make_shared<State>()) {}

SerialQueue::~SerialQueue() {
    if (state_->workerElsewhere()) {
        state_->worker.detach();  // the parent's worker; nothing of it runs here
        return;
    }
    Thread worker;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->closing = true;
        state_->cv.notify_all();
        worker.swap(state_->worker);
    }
    if (!worker.joinable()) {
        return;
    }
    if (worker.isCurrent()) {
        worker.detach();  // the worker owns its state and finishes by itself
    } else {
        worker.join();
    }
}

bool SerialQueue::prepare() {
    if (state_->workerElsewhere()) {
        return false;
    }
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->worker.joinable() || makeWorker(state_);
}

bool SerialQueue::async(std::function<void()>&& work) {
    if (state_->workerElsewhere()) {
        return false;
    }
    State& state = *state_;
    std::unique_lock<std::mutex> lock(state.mutex);
    if (!state.worker.joinable() && !makeWorker(state_)) {
        return false;
    }
    state.items.emplace_back(std::move(work));
    if (!state.workerWaiting) {
        return true;
    }
    state.workerWaiting = false;  // one notification wakes it; later pushes need none
    // The notification comes after unlocking, so that the worker does not wake only to block
    // on the lock still held here. Once the lock is let go, `work` may run at once and drop
    // the queue's last owner, which ends the worker and destroys this queue: from then on
    // only this reference keeps the state, and its condition variable, alive.
    std::shared_ptr<State> keep = state_;
    lock.unlock();
    keep->cv.notify_one();
    return true;
}

bool SerialQueue::drain(std::chrono::milliseconds timeout) {
    struct Marker {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto marker = std::make_shared<Marker>();
    const bool queued = async([marker] {
        std::lock_guard<std::mutex> guard(marker->mutex);
        marker->done = true;
        marker->cv.notify_all();
    });
    if (!queued) {
        return false;
    }
    std::unique_lock<std::mutex> lock(marker->mutex);
    return marker->cv.wait_for(lock, timeout, [&] { return marker->done; });
}

}  // namespace lumvex::platform
