#include "platform/base/Wakeup.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace lumvex::platform {

namespace {
// The kernel reads the word as a plain 32-bit integer; std::atomic<std::uint32_t> is one.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

std::uint32_t* word(std::atomic<std::uint32_t>& atomic) {
    return reinterpret_cast<std::uint32_t*>(&atomic);
}
}  // namespace

void Wakeup::waitUntil(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline) {
    // Counted before the word is read: a notifier that then finds no sleeper has moved the
    // word already, so the read below sees the move and the sleep returns at once.
    sleepers_.fetch_add(1);
    const std::uint32_t seen = sequence_.load();
    lock.unlock();
    if (deadline == std::chrono::steady_clock::time_point::max()) {
        ::syscall(SYS_futex, word(sequence_), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
    } else {
        // An absolute CLOCK_MONOTONIC deadline, the steady clock's: a sleep that a signal
        // interrupts and the caller starts again does not stretch it.
        const auto since = deadline.time_since_epoch();
        const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
        timespec at{};
        if (seconds.count() >= 0) {
            at.tv_sec = static_cast<time_t>(seconds.count());
            at.tv_nsec = static_cast<long>(std::chrono::nanoseconds(since - seconds).count());
        }
        ::syscall(SYS_futex, word(sequence_), FUTEX_WAIT_BITSET_PRIVATE, seen, &at, nullptr,
                  FUTEX_BITSET_MATCH_ANY);
    }
    sleepers_.fetch_sub(1);
    lock.lock();
}

void Wakeup::notify() {
    sequence_.fetch_add(1);
    if (sleepers_.load() != 0) {
        ::syscall(SYS_futex, word(sequence_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }
}

}  // namespace lumvex::platform
