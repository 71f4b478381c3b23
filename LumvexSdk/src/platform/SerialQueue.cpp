#include "platform/SerialQueue.h"

#include "L.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/ThreadAnnotations.h"
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
    Mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> items LUMVEX_GUARDED_BY(mutex);
    bool closing LUMVEX_GUARDED_BY(mutex) = false;
    // Whether the worker sleeps on `cv`: only then does a push notify it. While it works
    // through items it finds each new one by itself, so most pushes make no call at all.
    bool workerWaiting LUMVEX_GUARDED_BY(mutex) = false;
    Thread worker LUMVEX_GUARDED_BY(mutex);  // made at the first need
    // The process in which the worker was made, 0 before. Read without the lock: in a
    // forked child the worker may have held it at the fork.
    std::atomic<pid_t> workerPid{0};

    /// Whether the worker was made in another process, of which this one is a fork.
    bool workerElsewhere() const {
        const pid_t pid = workerPid.load();
        return pid != 0 && pid != currentProcessId();
    }

    /// In a forked child: lets go of the parent's worker, which does not exist here. Without
    /// the lock, which that worker may have held at the fork and so stays held for good.
    void abandonWorker() LUMVEX_NO_THREAD_SAFETY_ANALYSIS { worker.detach(); }

    /// Whether there is work for the worker or it is to end.
    bool workerNeeded() const LUMVEX_REQUIRES(mutex) { return closing || !items.empty(); }
};

namespace {
void workerLoop(SerialQueue::State& state) {
    MutexLock lock(state.mutex);
    while (true) {
        if (!state.workerNeeded()) {
            state.workerWaiting = true;
            while (!state.workerNeeded()) {
                state.cv.wait(lock.native());
            }
            state.workerWaiting = false;
        }
        if (state.items.empty()) {
            return;  // closing and nothing left
        }
        auto item = std::move(state.items.front());
        state.items.pop_front();
        lock.unlock();
        // A throwing item must not end the process, nor the queue and every later item.
        runLoggingFailure(item, "workerLoop", "Work item failed");
        item = nullptr;  // what the item captured is released outside the lock
        notifyWorkListener();
        lock.lock();
    }
}

/// Makes the worker of `state`, which `owner` owns; the caller found none. Kept out of
/// line: it runs once per queue, while the check before it is on every host call.
[[gnu::noinline]] bool makeWorker(SerialQueue::State& state, const std::shared_ptr<SerialQueue::State>& owner)
    LUMVEX_REQUIRES(state.mutex) {
    try {
        // The worker owns the state too, so that it can finish the queue after the last
        // owner let go from inside an item.
        state.worker = Thread([owner] { workerLoop(*owner); });
    } catch (const std::system_error&) {
        return false;  // no thread to be had now (EAGAIN); a later need tries again
    }
    // Named here rather than by the thread itself, so the name is there as soon as the
    // thread is, for a debugger, `top -H` or a crash report.
    pthread_setname_np(state.worker.native_handle(), "lumvex-queue");
    state.workerPid.store(currentProcessId());
    noteLibraryThreadMade();
    return true;
}
}  // namespace

SerialQueue::SerialQueue() : state_(std::make_shared<State>()) {}

SerialQueue::~SerialQueue() {
    if (state_->workerElsewhere()) {
        state_->abandonWorker();
        return;
    }
    Thread worker;
    {
        MutexLock guard(state_->mutex);
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
    State& state = *state_;
    MutexLock guard(state.mutex);
    return state.worker.joinable() || makeWorker(state, state_);
}

bool SerialQueue::async(std::function<void()>&& work) {
    if (state_->workerElsewhere()) {
        return false;
    }
    State& state = *state_;
    MutexLock lock(state.mutex);
    if (!state.worker.joinable() && !makeWorker(state, state_)) {
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
