#pragma once

// Thread guarantees: `notify` is safe from any thread, with or without the sleeper's lock
// held; `waitUntil` is called with the lock held by any number of sleepers at once.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace lumvex::platform {

/// What a condition variable does for the library's sleeping threads, on one futex word.
/// glibc's condition variable hands its mutex back to a woken sleeper marked as contended,
/// so that the sleeper's next unlock is a system call whether anyone waits or not, and a
/// thread that sleeps once per tick pays it every tick. Here a woken sleeper takes its lock
/// as any other locker does, and a notification that finds nobody asleep makes no call.
class Wakeup {
public:
    /// Lets `lock` go, sleeps until a `notify` that comes after the lock was let go, until
    /// `deadline` on the steady clock or until a spurious return, then takes `lock` back.
    /// The caller checks its own condition and deadline again, as with a condition variable.
    void waitUntil(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline);
    void wait(std::unique_lock<std::mutex>& lock) {
        waitUntil(lock, std::chrono::steady_clock::time_point::max());
    }
    /// Wakes every sleeper. The state that the sleepers check must have been changed under
    /// their lock before this call; the lock itself may be held or not.
    void notify();

private:
    // Moves at every notification: a sleeper that read it under the lock sleeps only while
    // it has not moved, so a notification between the unlock and the sleep is not lost.
    std::atomic<std::uint32_t> sequence_{0};
    std::atomic<std::uint32_t> sleepers_{0};
};

}  // namespace lumvex::platform
