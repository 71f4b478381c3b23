#pragma once

// Thread guarantees: `Mutex` and `MutexLock` are std::mutex and std::unique_lock with
// clang's thread-safety attributes; their guarantees are those of the standard types.
//
// Members written `LUMVEX_GUARDED_BY(mutex_)` are checked at compile time by clang's
// -Wthread-safety: reading or writing one without holding the mutex is an error in the
// build that CI runs with that warning turned into an error. Other compilers ignore the
// attributes.

#include <mutex>

#if defined(__clang__)
#define LUMVEX_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define LUMVEX_THREAD_ATTRIBUTE(x)
#endif

#define LUMVEX_CAPABILITY(name) LUMVEX_THREAD_ATTRIBUTE(capability(name))
#define LUMVEX_SCOPED_CAPABILITY LUMVEX_THREAD_ATTRIBUTE(scoped_lockable)
#define LUMVEX_GUARDED_BY(m) LUMVEX_THREAD_ATTRIBUTE(guarded_by(m))
#define LUMVEX_PT_GUARDED_BY(m) LUMVEX_THREAD_ATTRIBUTE(pt_guarded_by(m))
#define LUMVEX_REQUIRES(...) LUMVEX_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define LUMVEX_ACQUIRE(...) LUMVEX_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define LUMVEX_RELEASE(...) LUMVEX_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define LUMVEX_TRY_ACQUIRE(...) LUMVEX_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define LUMVEX_EXCLUDES(...) LUMVEX_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define LUMVEX_RETURN_CAPABILITY(x) LUMVEX_THREAD_ATTRIBUTE(lock_returned(x))
#define LUMVEX_NO_THREAD_SAFETY_ANALYSIS LUMVEX_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace lumvex::platform {

/// A std::mutex that clang's analysis knows about. libstdc++'s own carries no attributes,
/// so members guarded by it could not be checked.
class LUMVEX_CAPABILITY("mutex") Mutex {
public:
    void lock() LUMVEX_ACQUIRE() { mutex_.lock(); }
    void unlock() LUMVEX_RELEASE() { mutex_.unlock(); }
    bool try_lock() LUMVEX_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
    /// For condition variables, which need the standard type.
    std::mutex& native() LUMVEX_RETURN_CAPABILITY(this) { return mutex_; }

private:
    std::mutex mutex_;
};

/// Holds a `Mutex` for its scope, like std::unique_lock: it may be unlocked and locked
/// again, and `native()` hands the underlying lock to a condition variable's wait, which
/// gives the mutex up while it sleeps and holds it again when it returns.
class LUMVEX_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) LUMVEX_ACQUIRE(mutex) : lock_(mutex.native()) {}
    ~MutexLock() LUMVEX_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void lock() LUMVEX_ACQUIRE() { lock_.lock(); }
    void unlock() LUMVEX_RELEASE() { lock_.unlock(); }
    std::unique_lock<std::mutex>& native() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace lumvex::platform
