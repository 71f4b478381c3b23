#include "platform/base/SerialQueue.h"

#include "platform/base/Guarded.h"
#include "platform/base/L.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/Process.h"
#include "platform/base/Thread.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/base/Wakeup.h"
#include "platform/base/WorkListener.h"

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace lumvex::platform {

struct SerialQueue::State {
    // An item is its task, marked when the work is durable.
    static bool durable(const Task& item) { return item.marked(); }

    Mutex mutex;
    // The worker sleeps on it between items: a tick's one hand-off to the worker is then one
    // system call on each side, and the worker's first unlock after waking is none.
    Wakeup wakeup;
    std::deque<Task> items LUMVEX_GUARDED_BY(mutex);
    // The worker is running a durable item; `durableDone` tells when it ends.
    bool runningDurable LUMVEX_GUARDED_BY(mutex) = false;
    std::condition_variable durableDone;
    // The process is exiting: durable work runs on its caller's thread.
    bool exiting LUMVEX_GUARDED_BY(mutex) = false;
    bool closing LUMVEX_GUARDED_BY(mutex) = false;
    // Whether the worker sleeps on `wakeup`: only then does a push notify it. While it works
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

/// Tidies up after host code inside a work item (the log handler, a push callback) ended
/// the worker by unwinding it, as an interpreter ends its threads at exit. A durable item
/// goes back to the front, since its fix may not be stored yet: the exit's finishing, or
/// a worker made by the next push, stores it; whoever waits for it is told it ended. Only
/// the store's own log lines come before its write, so running it again stores it once.
struct WorkerEnded {
    SerialQueue::State& state;
    Task* item;  // nullptr once the item returned

    ~WorkerEnded() {
        if (!item) {
            return;
        }
        MutexLock lock(state.mutex);
        if (state.runningDurable) {
            state.items.push_front(std::move(*item));  // marked durable still
            state.runningDurable = false;
            state.durableDone.notify_all();
        }
        // This thread is about to end; a push that finds no worker makes another.
        if (state.worker.isCurrent()) {
            state.abandonWorker();
        }
    }
};

void workerLoop(SerialQueue::State& state) {
    MutexLock lock(state.mutex);
    while (true) {
        if (!state.workerNeeded()) {
            // Set again before every wait: a push clears it when it notifies, and
            // finishDurable may take that push's item away before this thread wakes, so a
            // wake can find nothing to do; the next push must then notify again.
            while (!state.workerNeeded()) {
                state.workerWaiting = true;
                state.wakeup.wait(lock.native());
            }
            state.workerWaiting = false;
        }
        if (state.items.empty()) {
            return;  // closing and nothing left
        }
        auto item = std::move(state.items.front());
        state.runningDurable = SerialQueue::State::durable(item);
        state.items.pop_front();
        lock.unlock();
        {
            WorkerEnded ended{state, &item};
            // A throwing item must not end the process, nor the queue and every later item.
            runLoggingFailure(item, "workerLoop", "Work item failed");
            ended.item = nullptr;
        }
        item = nullptr;  // what the item captured is released outside the lock
        notifyWorkListener();
        lock.lock();
        if (state.runningDurable) {
            state.runningDurable = false;
            state.durableDone.notify_all();
        }
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

/// Runs `work` on the calling thread, which may be the host's, with the signals that the
/// library's own threads block held back: a write past the file-size limit then fails with
/// EFBIG, and a signal it raised is taken back rather than delivered once unblocked.
[[gnu::noinline]] void runShielded(Task& work) {
    sigset_t shielded;
    sigset_t previous;
    sigemptyset(&shielded);
    sigaddset(&shielded, SIGPIPE);
    sigaddset(&shielded, SIGXFSZ);
    if (pthread_sigmask(SIG_BLOCK, &shielded, &previous) != 0) {
        runLoggingFailure(work, "finishDurable", "Work item failed");
        return;
    }
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    runLoggingFailure(work, "finishDurable", "Work item failed");
    for (const int signal : {SIGPIPE, SIGXFSZ}) {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, signal) && !sigismember(&pendingBefore, signal) &&
            !sigismember(&previous, signal)) {
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, signal);
            const timespec now{0, 0};
            sigtimedwait(&one, nullptr, &now);
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

/// Lets `lock` go and wakes the worker of `owner`, which sleeps. Out of line: most pushes find
/// the worker at work. The notification comes after unlocking, so that the worker does not
/// wake only to block on the lock still held here. Once the lock is let go, the work just
/// queued may run at once and drop the queue's last owner, which ends the worker and
/// destroys the queue: from then on only the reference taken here keeps the state, and its
/// futex word, alive.
[[gnu::noinline]] void wakeWorker(MutexLock& lock, const std::shared_ptr<SerialQueue::State>& owner)
    LUMVEX_NO_THREAD_SAFETY_ANALYSIS {
    std::shared_ptr<SerialQueue::State> keep = owner;
    lock.unlock();
    keep->wakeup.notify();
}

// Who finishes the durable work: a caller of `finishDurable`, or the exit handler, after which
// durable work runs on its caller's thread.
enum class Finisher { caller, exit };

bool finishDurableWork(SerialQueue::State& state, std::chrono::milliseconds timeout, Finisher finisher,
                       std::size_t* left = nullptr) {
    // Real time: at exit, a virtual clock that nobody moves any more must not hold the
    // process, and the bound is the host's, not the library's timers'.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::deque<Task> work;
    {
        MutexLock lock(state.mutex);
        state.exiting = state.exiting || finisher == Finisher::exit;
        const bool idle = state.durableDone.wait_until(
            lock.native(), deadline,
            [&state]() LUMVEX_NO_THREAD_SAFETY_ANALYSIS { return !state.runningDurable; });
        if (!idle && finisher == Finisher::caller) {
            if (left) {
                *left = static_cast<std::size_t>(
                    std::count_if(state.items.begin(), state.items.end(), SerialQueue::State::durable));
            }
            return false;
        }
        std::deque<Task> others;
        for (auto& item : state.items) {
            if (SerialQueue::State::durable(item)) {
                work.push_back(std::move(item));
            } else {
                others.push_back(std::move(item));
            }
        }
        state.items.swap(others);
    }
    while (!work.empty() && std::chrono::steady_clock::now() < deadline) {
        runShielded(work.front());
        work.pop_front();
    }
    if (left) {
        *left = work.size();
    }
    if (work.empty()) {
        return true;
    }
    if (finisher == Finisher::exit) {
        // At exit what is left is counted and told, not handed back: the worker would
        // store or hold some of it while the count is being made, and the process ends
        // within moments anyway.
        return false;
    }
    // Out of time: what is left goes back to the front of the queue, in its order, for the
    // worker as long as the process lasts.
    MutexLock lock(state.mutex);
    while (!work.empty()) {
        state.items.push_front(std::move(work.back()));  // marked durable still
        work.pop_back();
    }
    if (state.workerWaiting) {
        state.workerWaiting = false;
        state.wakeup.notify();
    }
    return false;
}

// The queues whose durable work the exit handler finishes, each with what its owner runs
// around the drain.
struct ExitQueue {
    std::weak_ptr<SerialQueue::State> state;
    SerialQueue::ExitDrain around;
};
Guarded<std::vector<ExitQueue>>& exitQueues() {
    static NoDestructor<Guarded<std::vector<ExitQueue>>> queues;
    return *queues;
}

void finishQueuesAtExit() {
    const auto queues = exitQueues().with([](const std::vector<ExitQueue>& q) { return q; });
    for (const auto& queue : queues) {
        if (auto state = queue.state.lock()) {
            if (state->workerElsewhere()) {
                continue;  // a forked child's copy: the worker and its items are the parent's
            }
            const std::function<std::size_t()> drain = [&state] {
                std::size_t left = 0;
                finishDurableWork(*state, SerialQueue::EXIT_TIMEOUT, Finisher::exit, &left);
                return left;
            };
            if (queue.around) {
                queue.around(drain);
            } else {
                drain();
            }
        }
    }
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
        state_->wakeup.notify();
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

bool SerialQueue::async(Task&& work) {
    return push(std::move(work), Kind::ordinary, nullptr);
}

bool SerialQueue::asyncDurable(Task&& work, std::atomic<std::uint64_t>* accepted) {
    return push(std::move(work), Kind::durable, accepted);
}

bool SerialQueue::push(Task&& work, Kind kind, std::atomic<std::uint64_t>* accepted) {
    const bool durable = kind == Kind::durable;
    if (state_->workerElsewhere()) {
        return false;
    }
    State& state = *state_;
    MutexLock lock(state.mutex);
    // Only this queue's pushes change the count, under this lock: a plain increment.
    const auto count = [accepted] {
        if (accepted) {
            accepted->store(accepted->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        }
    };
    if (durable && state.exiting) {
        count();
        lock.unlock();
        runShielded(work);
        return true;
    }
    if (!state.worker.joinable() && !makeWorker(state, state_)) {
        return false;
    }
    state.items.emplace_back(std::move(work)).setMarked(durable);
    count();
    if (!state.workerWaiting) {
        return true;
    }
    state.workerWaiting = false;  // one notification wakes it; later pushes need none
    wakeWorker(lock, state_);
    return true;
}

bool SerialQueue::finishDurable(std::chrono::milliseconds timeout, std::size_t* left) {
    return finishDurableWork(*state_, timeout, Finisher::caller, left);
}

void SerialQueue::finishDurableAtExit(ExitDrain around) {
    exitQueues().with([this, &around](std::vector<ExitQueue>& queues) {
        static const bool registered = std::atexit(&finishQueuesAtExit) == 0;
        (void)registered;
        // Queues that are gone (one per engine a test made, say) are dropped as others come.
        queues.erase(
            std::remove_if(queues.begin(), queues.end(), [](const auto& q) { return q.state.expired(); }),
            queues.end());
        queues.push_back(ExitQueue{state_, std::move(around)});
    });
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
