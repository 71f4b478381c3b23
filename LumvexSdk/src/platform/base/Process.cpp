#include "platform/base/Process.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace lumvex::platform {

namespace detail {
// A child of a parent that never made a thread is a process like any other.
std::atomic<pid_t> threadsOwner{0};
std::atomic<pid_t> knownPid{0};
}  // namespace detail

namespace {
void learnPid() {
    detail::knownPid.store(::getpid(), std::memory_order_relaxed);
}
}  // namespace

pid_t detail::learnCurrentProcessId() {
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
    detail::threadsOwner.compare_exchange_strong(none, currentProcessId());
}

}  // namespace lumvex::platform
