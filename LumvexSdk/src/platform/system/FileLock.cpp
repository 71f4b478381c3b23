#include "platform/system/FileLock.h"

#include "platform/base/L.h"
#include "platform/base/Process.h"
#include "platform/system/Files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

namespace lumvex::platform {

namespace {

// How long a lock is waited for at most, in pauses of this length. The pauses are real
// time, not the installed clock's: the other holders run on real time, whatever clock this
// process installed.
constexpr auto LOCK_WAIT = std::chrono::seconds(2);
constexpr long LOCK_PAUSE_NS = 10 * 1000 * 1000;

// The wait bound of the calling thread's drain, if one is under way.
thread_local std::optional<FileLock::Deadline> waitBound;

// Every descriptor of a lock file this process has open, from its open to its close. An
// flock belongs to the open file description, which a forked child shares: a child that
// kept it would hold the parent's lock for as long as it lives. The child closes them all
// as it starts. Opening and registering, and unregistering and closing, happen under this
// mutex, which the fork handlers hold across the fork, so no descriptor slips past.
// Plain pthread objects, never destroyed, so that exit handlers and forks late in the
// process find them whole.
pthread_mutex_t openLocksMutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<int>* openLocks = nullptr;

void beforeFork() {
    pthread_mutex_lock(&openLocksMutex);
}
void afterForkInParent() {
    pthread_mutex_unlock(&openLocksMutex);
}
void afterForkInChild() {
    if (openLocks) {
        for (const int fd : *openLocks) {
            ::close(fd);
        }
        openLocks->clear();
    }
    pthread_mutex_unlock(&openLocksMutex);
}

// Opens the lock file and registers its descriptor; -1 (errno set) when it cannot be opened.
int openRegistered(const std::string& path) {
    static const bool handlersInstalled =
        ::pthread_atfork(&beforeFork, &afterForkInParent, &afterForkInChild) == 0;
    if (!handlersInstalled) {
        errno = ENOMEM;
        return -1;  // a lock that a child could inherit is no lock
    }
    pthread_mutex_lock(&openLocksMutex);
    if (!openLocks) {
        openLocks = new std::vector<int>();
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    const int error = errno;
    if (fd >= 0) {
        try {
            openLocks->push_back(fd);
        } catch (...) {
            ::close(fd);
            pthread_mutex_unlock(&openLocksMutex);
            errno = ENOMEM;
            return -1;
        }
    }
    pthread_mutex_unlock(&openLocksMutex);
    errno = error;
    return fd;
}

void closeRegistered(int fd) {
    pthread_mutex_lock(&openLocksMutex);
    if (openLocks) {
        openLocks->erase(std::remove(openLocks->begin(), openLocks->end(), fd), openLocks->end());
    }
    ::close(fd);  // lets go of the lock with the last descriptor of its open file
    pthread_mutex_unlock(&openLocksMutex);
}

}  // namespace

FileLock::WaitBound::WaitBound(Deadline deadline) : previous_(waitBound) {
    waitBound = previous_ ? std::min(*previous_, deadline) : deadline;
}

FileLock::WaitBound::~WaitBound() {
    waitBound = previous_;
}

std::optional<FileLock> FileLock::lock(const std::string& path) {
    return take(path, Waiting::untilTheBound);
}

std::optional<FileLock> FileLock::tryLock(const std::string& path) {
    return take(path, Waiting::none);
}

std::optional<FileLock> FileLock::take(const std::string& path, Waiting waiting) {
    const bool wait = waiting == Waiting::untilTheBound;
    auto giveUp = std::chrono::steady_clock::now() + LOCK_WAIT;
    if (waitBound) {
        giveUp = std::min(giveUp, *waitBound);
    }
    const int fd = openRegistered(path);
    if (fd < 0) {
        const int error = errno;
        LUMVEX_LOG_ERROR("lock()", "Cannot open the lock file " + path + ": " + std::strerror(error));
        errno = error;
        return std::nullopt;
    }
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            break;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error != EWOULDBLOCK || !wait || std::chrono::steady_clock::now() >= giveUp) {
            if (wait) {
                LUMVEX_LOG_ERROR("lock()", "Cannot lock " + path + ": " + std::strerror(error));
            }
            closeRegistered(fd);
            errno = error;
            return std::nullopt;
        }
        timespec pause{0, LOCK_PAUSE_NS};
        while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    // A missing or short count (a new file, a crash halfway through a bump) reads as 0 and
    // differs from any count a holder remembers after a bump of its own.
    std::uint64_t changes = 0;
    if (::pread(fd, &changes, sizeof(changes), 0) != static_cast<ssize_t>(sizeof(changes))) {
        changes = 0;
    }
    return FileLock(fd, changes, currentProcessId());
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(other.fd_), changes_(other.changes_), owner_(other.owner_) {
    other.fd_ = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        changes_ = other.changes_;
        owner_ = other.owner_;
        other.fd_ = -1;
    }
    return *this;
}

FileLock::~FileLock() {
    release();
}

void FileLock::release() noexcept {
    if (fd_ >= 0 && owner_ == currentProcessId()) {
        closeRegistered(fd_);
    }
    fd_ = -1;
}

std::optional<std::uint64_t> FileLock::changesIn(const LineFile& file) {
    std::uint64_t changes = 0;
    if (!file.readAt(0, &changes, sizeof(changes))) {
        return std::nullopt;
    }
    return changes;
}

bool FileLock::bump() {
    if (owner_ != currentProcessId()) {
        return false;
    }
    // Never 0, which is what an unreadable count reads as.
    const std::uint64_t next = changes_ + 1 == 0 ? 1 : changes_ + 1;
    if (::pwrite(fd_, &next, sizeof(next), 0) != static_cast<ssize_t>(sizeof(next))) {
        return false;
    }
    changes_ = next;
    return true;
}

}  // namespace lumvex::platform
