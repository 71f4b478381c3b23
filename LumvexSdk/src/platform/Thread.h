#pragma once

// Thread guarantees: those of std::thread. One `Thread` object is used from one thread at
// a time; `isCurrent` may be asked from any thread while the object is not being changed.

#include <pthread.h>

#include <cstddef>
#include <functional>

namespace lumvex::platform {

/// A thread of the library's own, like std::thread but with a stack sized for what the
/// library runs on it. A host sees each of its threads reserve its stack's address space;
/// the process default is 8 MiB, where the library's threads need a few dozen KiB.
class Thread final {
public:
    /// Stack for the library's threads: room for libcurl's and the TLS library's
    /// handshakes, the resolver and the bounded plist parser, many times over. Sanitized
    /// builds keep the default, since their frames are far larger.
    static constexpr std::size_t STACK_BYTES = 512 * 1024;

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
