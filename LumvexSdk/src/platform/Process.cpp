#include "platform/Process.h"

#include <sys/types.h>
#include <unistd.h>

#include <atomic>

namespace lumvex::platform {

namespace {
// The process that made the library's first thread; 0 while there is none. A child of a
// parent that never made one is a process like any other.
std::atomic<pid_t> threadsOwner{0};
}  // namespace

void noteLibraryThreadMade() {
    pid_t none = 0;
    threadsOwner.compare_exchange_strong(none, ::getpid());
}

bool isForkedChild() {
    const pid_t owner = threadsOwner.load();
    return owner != 0 && owner != ::getpid();
}

}  // namespace lumvex::platform
