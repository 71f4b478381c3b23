#pragma once

// Thread guarantees: each thread has its own loop. `eventDescriptor`, `nextTimeout`, `post`
// and `stop` are safe from any thread; `run`, `runFor` and `runPending` must be called on
// the loop's own thread, the one whose `current()` it is, and every timer action and posted
// task runs there, inside them. Drive a loop either by `run`/`runFor` or by `runPending`,
// not both at once.

#include <LumvexSdk/Export.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace lumvex {

namespace detail {
struct RunLoopAccess;
}

/// A per-thread loop that runs timers and posted tasks, like a phone OS's run loop.
/// The library's timers fire on the run loop of the thread that called `Lumvex::start`,
/// and only while that loop runs.
///
/// Each thread has exactly one; a host reaches it through `current()` and cannot make,
/// copy or destroy one itself.
///
/// A host that runs an event loop of its own (GLib, sd-event, epoll, asio) drives this one
/// from it instead of calling `run`, as it would drive sd-bus or libcurl's multi interface:
/// it watches `eventDescriptor()` for reading, wakes at the latest after `nextTimeout()`,
/// and calls `runPending()` whenever either happens, then asks `nextTimeout()` again.
///
///     const int fd = lumvex::RunLoop::current().eventDescriptor();
///     // in the host's loop, on this thread:
///     //   wait until fd is readable or nextTimeout() has passed, then runPending()
class RunLoop {
public:
    /// The calling thread's run loop, made on first use.
    LUMVEX_API static RunLoop& current();

    /// Runs timers and tasks until `stop()` is called.
    LUMVEX_API void run();
    /// Runs timers and tasks for at most `duration` (or until `stop()`).
    LUMVEX_API void runFor(std::chrono::milliseconds duration);
    /// Makes `run` / `runFor` return soon. Safe from any thread.
    LUMVEX_API void stop();
    /// Runs `task` on this loop's thread. Safe from any thread.
    LUMVEX_API void post(std::function<void()> task);

    /// A descriptor that becomes readable when a task is posted, a timer is added, or a
    /// virtual clock moves; `runPending` reads it empty again. It belongs to the loop, is
    /// made at the first call (close-on-exec, non-blocking) and lives as long as the loop's
    /// thread: do not close it or read it yourself. -1, with errno set, when the system has
    /// no descriptor to give; ask again later.
    LUMVEX_API int eventDescriptor();
    /// How long the host may wait before calling `runPending`: zero when a task waits or a
    /// timer is due, the time until the next timer (rounded up to whole milliseconds),
    /// or nothing when there is no timer and no task, in which case only the descriptor
    /// needs watching. Measured on the library's clock.
    LUMVEX_API std::optional<std::chrono::milliseconds> nextTimeout();
    /// Runs the tasks posted so far and the timers that are due, then returns; never waits.
    /// Work that they post in turn waits for the next call (the descriptor is readable
    /// again by then).
    LUMVEX_API void runPending();

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

private:
    // Only the members above are exported: the class itself carries no export attribute,
    // so that the hidden state behind it stays out of the shared library's symbol table.
    friend struct detail::RunLoopAccess;
    class Impl;
    explicit RunLoop(std::shared_ptr<Impl> impl);
    ~RunLoop() = default;
    std::shared_ptr<Impl> impl_;
};

}  // namespace lumvex
