#include "platform/Thread.h"

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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif
}  // namespace

Thread::Thread(std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0 && !SANITIZED) {
        error = pthread_attr_setstacksize(&attributes, STACK_BYTES);
    }
    if (error == 0) {
        error = pthread_create(&handle_, &attributes, &runBody, owned.get());
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
