#pragma once

// Thread guarantees: every call is safe from any thread. The value is only reachable
// through `lock()` or `with()`, both of which hold the mutex for as long as the value is in
// hand.

#include "platform/base/ThreadAnnotations.h"

#include <utility>

namespace lumvex::platform {

/// A value and the mutex that guards it, as one object, so that the value cannot be
/// reached without the lock.
///
///     Guarded<std::string> address;
///     address.with([&](std::string& a) { a = next; });
///     { auto locked = address.lock(); use(*locked); }
template <typename T>
class Guarded {
public:
    template <typename... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    /// The value, with the mutex held until the returned object goes out of scope.
    class Locked {
    public:
        T& operator*() { return value_; }
        T* operator->() { return &value_; }
        /// For a condition variable's wait on the guarding mutex.
        std::unique_lock<std::mutex>& native() { return lock_.native(); }

    private:
        friend class Guarded;
        Locked(Mutex& mutex, T& value) LUMVEX_NO_THREAD_SAFETY_ANALYSIS : lock_(mutex), value_(value) {}
        MutexLock lock_;
        T& value_;
    };

    // The analysis cannot follow a lock that leaves the function in its return value; the
    // type itself makes sure the value is only reached through the held lock.
    Locked lock() LUMVEX_NO_THREAD_SAFETY_ANALYSIS { return Locked(mutex_, value_); }

    /// Runs `f(value)` with the mutex held and returns what it returns.
    template <typename F>
    decltype(auto) with(F&& f) LUMVEX_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return std::forward<F>(f)(value_);
    }

private:
    Mutex mutex_;
    T value_ LUMVEX_GUARDED_BY(mutex_);
};

}  // namespace lumvex::platform
