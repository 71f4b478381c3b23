#include "platform/base/Thread.h"

#include <signal.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <system_error>

namespace lumvex::platform {

namespace {
void* runBody(void* argument) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return nullptr;
}

}  // namespace

std::size_t Thread::stackBytes() {
    // What a thread made with default attributes gets: glibc derives it from RLIMIT_STACK
    // at startup. Sanitizers' larger frames are covered by the same default.
    std::size_t bytes = 0;
    pthread_attr_t defaults;
    if (pthread_getattr_default_np(&defaults) == 0) {
        pthread_attr_getstacksize(&defaults, &bytes);
        pthread_attr_destroy(&defaults);
    }
    return std::max(bytes, MIN_STACK_BYTES);
}

Thread::Thread(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
        error = pthread_attr_setstacksize(&attributes, stackBytes());
    }
    // A new thread inherits its maker's signal mask; the maker's own is put back at once.
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGPIPE);
    sigaddset(&blocked, SIGXFSZ);
    const bool masked = pthread_sigmask(SIG_BLOCK, &blocked, &previous) == 0;
    if (error == 0) {
        error = pthread_create(&handle_, &attributes, &runBody, owned.get());
    }
    if (masked) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), "pthread_create");
    }
    owned.release();  // the thread owns it now
    joinable_ = true;
}

Thread::Thread(Thread&& other) noexcept : handle_(other.handle_), joinable_(other.joinable_) {
    other.joinable_ = false;
}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (joinable_) {
        std::terminate();
    }
    handle_ = other.handle_;
    joinable_ = other.joinable_;
    other.joinable_ = false;
    return *this;
}

Thread::~Thread() {
    if (joinable_) {
        std::terminate();
    }
}

void Thread::swap(Thread& other) noexcept {
    std::swap(handle_, other.handle_);
    std::swap(joinable_, other.joinable_);
}

void Thread::join() {
    if (!joinable_) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "join");
    }
    pthread_join(handle_, nullptr);
    joinable_ = false;
}

void Thread::detach() {
    if (!joinable_) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "detach");
    }
    pthread_detach(handle_);
    joinable_ = false;
}

}  // namespace lumvex::platform
