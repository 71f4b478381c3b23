#pragma once

// Thread guarantees: every call is safe from any thread, and none takes a lock, so that
// they stay usable in a child made by fork() whatever the parent's threads held.

#include <sys/types.h>

#include <atomic>

namespace lumvex::platform {

namespace detail {
// 0 until first asked for; a fork handler keeps it right in every child made afterwards.
extern std::atomic<pid_t> knownPid;
// The process that made the library's first thread; 0 while there is none.
extern std::atomic<pid_t> threadsOwner;
pid_t learnCurrentProcessId();
}  // namespace detail

/// The calling process's id, without a system call once known: a child made by fork()
/// learns its own in a fork handler. The host's calls ask this on every call, where a
/// getpid() each time would cost more than the rest of the call; inline, as the check
/// below, for the same reason.
inline pid_t currentProcessId() {
    const pid_t known = detail::knownPid.load(std::memory_order_relaxed);
    return known != 0 ? known : detail::learnCurrentProcessId();
}

/// Records that the calling process has just made a thread of the library's own. Call it
/// from the thread that made it, once the thread exists.
void noteLibraryThreadMade();

/// Whether this process is a child made by fork() after the library had made its threads
/// in the parent. Those threads do not exist here, and any lock they held at the fork
/// stays held, so the library refuses to work in such a child.
inline bool isForkedChild() {
    const pid_t owner = detail::threadsOwner.load(std::memory_order_relaxed);
    return owner != 0 && owner != currentProcessId();
}

}  // namespace lumvex::platform
