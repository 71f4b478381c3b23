#include "platform/base/Process.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace lumvex::platform {

namespace {
// The process that made the library's first thread; 0 while there is none. A child of a
// parent that never made one is a process like any other.
std::atomic<pid_t> threadsOwner{0};

// 0 until first asked for; a fork handler keeps it right in every child made afterwards.
std::atomic<pid_t> knownPid{0};

void learnPid() {
    knownPid.store(::getpid(), std::memory_order_relaxed);
}
}  // namespace

pid_t currentProcessId() {
    const pid_t known = knownPid.load(std::memory_order_relaxed);
    if (known != 0) {
        return known;
    }
    // The handler is in place before the id is kept, so no fork can leave a child with its
    // parent's id.
    static const bool handlerInstalled = ::pthread_atfork(nullptr, nullptr, &learnPid) == 0;
    if (!handlerInstalled) {
        return ::getpid();
    }
    learnPid();
    return knownPid.load(std::memory_order_relaxed);
}

void noteLibraryThreadMade() {
    pid_t none = 0;
    threadsOwner.compare_exchange_strong(none, currentProcessId());
}

bool isForkedChild() {
    const pid_t owner = threadsOwner.load(std::memory_order_relaxed);
    return owner != 0 && owner != currentProcessId();
}

}  // namespace lumvex::platform
