#pragma once

#include <LumvexSdk/Export.h>

#include <chrono>
#include <functional>
#include <memory>

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
