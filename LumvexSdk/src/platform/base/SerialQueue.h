#pragma once

// Thread guarantees: `prepare`, `async`, `asyncDurable`, `finishDurable` and `drain` are safe
// from any thread at once, and `async` may be called from the queue's own work items. Every
// item runs on the queue's one worker (or, for durable work being finished, on the caller of
// `finishDurable`), so items never overlap and need no lock among themselves. `drain` must
// not be called from a work item: it would wait for itself. The queue may be destroyed on
// any thread, including from inside one of its own items.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/base/Task.h"

namespace lumvex::platform {

/// Runs submitted work one item at a time, in submission order, on a thread of its own.
/// The thread ("lumvex-queue") is made when work first needs it, so that making a queue
/// never fails; a queue whose thread cannot be made refuses work until it can.
class SerialQueue final {
public:
    SerialQueue();
    /// Runs what is still queued, then ends the worker. When the last owner lets go from
    /// inside one of its own work items, the worker finishes the queue on its own instead.
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    /// Makes the worker if there is none yet. Returns whether there is one now: false
    /// when the system cannot make a thread, or in a child made by fork() after the worker
    /// was made in the parent.
    bool prepare();

    /// Enqueues `work` and returns at once. Returns false, and leaves `work` as it was, when
    /// there is no worker to run it (see `prepare`). A callable of up to `Task::INLINE_SIZE`
    /// bytes is queued without allocating.
    bool async(Task&& work);

    /// Like `async`, for work that must not be lost when the process ends: fixes handed
    /// over to be stored. `finishDurable` can run it on another thread, ahead of the
    /// queue's other work, and once the process exits it runs at once on the caller's
    /// thread. `accepted`, when given, is counted up under the queue's lock once the work
    /// is taken (queued, or run at exit), before it can run: only this queue's pushes may
    /// change it, so that counting costs the caller no atomic read-modify-write.
    bool asyncDurable(Task&& work, std::atomic<std::uint64_t>* accepted = nullptr);

    /// Runs the durable work still queued on the calling thread, in its order, after the
    /// durable item the worker may be running. Waiting for that and running the rest take
    /// at most about `timeout` in real time (one item may run past it); what is left then
    /// stays queued for the worker. The queue's other work (uploads) is neither run nor
    /// waited for. Returns whether all of it ran. From the queue's own thread it runs the
    /// rest at once. Runs with SIGPIPE and SIGXFSZ blocked, as the library's own threads do.
    /// `left`, when given, receives how many durable items did not run.
    bool finishDurable(std::chrono::milliseconds timeout, std::size_t* left = nullptr);

    /// Has `finishDurable` run for this queue when the process exits by returning from
    /// main or calling exit(), within EXIT_TIMEOUT; from then on its durable work runs on
    /// the caller's thread, for what host objects destroyed later still hand over. Neither
    /// _exit() nor a signal runs it. `around`, when given, runs in its place at exit and is
    /// handed the drain to run, which returns how many durable items it could not run: the
    /// owner sets its own bounds around it and says what was lost.
    using ExitDrain = std::function<void(const std::function<std::size_t()>& drain)>;
    void finishDurableAtExit(ExitDrain around = {});
    static constexpr std::chrono::milliseconds EXIT_TIMEOUT{2000};

    /// Waits until everything enqueued before this call has run, or until `timeout`.
    /// Returns whether it did. Must not be called from the queue's own thread.
    bool drain(std::chrono::milliseconds timeout);

    struct State;

private:
    enum class Kind { ordinary, durable };
    bool push(Task&& work, Kind kind, std::atomic<std::uint64_t>* accepted);

    std::shared_ptr<State> state_;
};

}  // namespace lumvex::platform
