#pragma once

// Thread guarantees: those of std::thread. One `Thread` object is used from one thread at
// a time; `isCurrent` may be asked from any thread while the object is not being changed.

#include <pthread.h>

#include <cstddef>
#include <functional>

namespace lumvex::platform {

/// A thread of the library's own, like std::thread but with a stack and a signal mask
/// chosen for what runs on it. Host code runs on every one of them: push callbacks on the
/// upload thread and the work queue, the log handler on whichever thread logs. So each gets
/// the stack a host's own threads get, the system default (RLIMIT_STACK as the C library
/// reads it), and never less than 8 MiB. Only the pages a thread touches are resident; the
/// rest is reserved address space.
///
/// Each starts with SIGPIPE and SIGXFSZ blocked, so that a write to a closed connection or
/// past the file-size limit fails with EPIPE or EFBIG, to be logged like any failed write,
/// instead of ending the host.
class Thread final {
public:
    /// The least stack a library thread gets.
    static constexpr std::size_t MIN_STACK_BYTES = 8 * 1024 * 1024;
    /// The stack the library's threads get: the system default, at least MIN_STACK_BYTES.
    static std::size_t stackBytes();

    Thread() noexcept = default;
    /// Starts `body` on a new thread. Throws std::system_error when none can be made.
    explicit Thread(std::function<void()> body);
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    /// Like std::thread: a thread still joinable here ends the process.
    ~Thread();

    void swap(Thread& other) noexcept;
    bool joinable() const noexcept { return joinable_; }
    void join();
    void detach();
    pthread_t native_handle() const noexcept { return handle_; }
    /// Whether the calling thread is this one.
    bool isCurrent() const noexcept { return joinable_ && pthread_equal(handle_, pthread_self()) != 0; }

private:
    pthread_t handle_{};
    bool joinable_ = false;
};

}  // namespace lumvex::platform
