#pragma once

// Thread guarantees: none of its own. Constructing a function-local `static NoDestructor<T>`
// is thread-safe as any local static is; what the wrapped object allows is up to T.

#include <new>
#include <utility>

namespace lumvex::platform {

/// Holds a T that is built on first use and never destroyed.
///
/// The library's process-wide state (the installed clock, the caches place, the upload
/// turn, the parsed Info.plist, ...) may still be reached while the process exits: a host
/// thread can add a trace or an upload can finish after static destructors have started.
/// A destroyed mutex or string there is undefined behaviour, so these objects live until
/// the process is gone. Memory they own stays reachable from static storage, so leak
/// checkers do not report it.
///
///     static NoDestructor<Cache> cache;
///     cache->lookup(...);
template <typename T>
class NoDestructor {
public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    ~NoDestructor() = default;

    T& operator*() { return *get(); }
    T* operator->() { return get(); }
    T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace lumvex::platform
