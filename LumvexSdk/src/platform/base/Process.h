#pragma once

// Thread guarantees: every call is safe from any thread, and none takes a lock, so that
// they stay usable in a child made by fork() whatever the parent's threads held.

#include <sys/types.h>

namespace lumvex::platform {

/// The calling process's id, without a system call once known: a child made by fork()
/// learns its own in a fork handler. The host's calls ask this on every call, where a
/// getpid() each time would cost more than the rest of the call.
pid_t currentProcessId();

/// Records that the calling process has just made a thread of the library's own. Call it
/// from the thread that made it, once the thread exists.
void noteLibraryThreadMade();

/// Whether this process is a child made by fork() after the library had made its threads
/// in the parent. Those threads do not exist here, and any lock they held at the fork
/// stays held, so the library refuses to work in such a child.
bool isForkedChild();

}  // namespace lumvex::platform
