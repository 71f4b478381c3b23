#include "platform/system/FileLock.h"

#include "platform/base/L.h"
#include "platform/base/Process.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// A lock file kept open, unlocked, between two holders in this process, so that the next
// one need not open it again: at most one per path, and only while no holder has it (two
// holders on one open file would not keep each other out). Under `openLocksMutex`.
struct IdleLock {
    std::string path;
    int fd;
    dev_t device;
    ino_t inode;
};
std::vector<IdleLock>* idleLocks = nullptr;
constexpr std::size_t MAX_IDLE_LOCKS = 4;

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
    if (idleLocks) {
        idleLocks->clear();
    }
    pthread_mutex_unlock(&openLocksMutex);
}

// Opens the lock file and registers its descriptor; -1 (errno set) when it cannot be opened.
// `device` and `inode` receive what was opened.
int openRegistered(const std::string& path, dev_t& device, ino_t& inode) {
    static const bool handlersInstalled =
        ::pthread_atfork(&beforeFork, &afterForkInParent, &afterForkInChild) == 0;
    if (!handlersInstalled) {
        errno = ENOMEM;
        return -1;  // a lock that a child could inherit is no lock
    }
    pthread_mutex_lock(&openLocksMutex);
    if (!openLocks) {
        openLocks = new std::vector<int>();
        idleLocks = new std::vector<IdleLock>();
    }
    // The file kept open since the last holder, while the path still names it: one lstat
    // against what it was opened as. One that was removed or replaced is let go, or this
    // process would lock a file that the others no longer find.
    for (auto idle = idleLocks->begin(); idle != idleLocks->end(); ++idle) {
        if (idle->path != path) {
            continue;
        }
        const IdleLock found = *idle;
        idleLocks->erase(idle);
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == found.device &&
            st.st_ino == found.inode) {
            pthread_mutex_unlock(&openLocksMutex);
            device = found.device;
            inode = found.inode;
            return found.fd;
        }
        openLocks->erase(std::remove(openLocks->begin(), openLocks->end(), found.fd), openLocks->end());
        ::close(found.fd);
        break;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    int error = errno;
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) != 0) {
        error = errno;
        ::close(fd);
        pthread_mutex_unlock(&openLocksMutex);
        errno = error;
        return -1;
    }
    device = st.st_dev;
    inode = st.st_ino;
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

// Lets go of the lock on `fd`, and keeps the file open for the next holder of `path` when
// none is kept yet; closes it otherwise, or when it cannot be unlocked.
void releaseRegistered(int fd, const std::string& path, dev_t device, ino_t inode) {
    if (::flock(fd, LOCK_UN) != 0) {
        closeRegistered(fd);
        return;
    }
    pthread_mutex_lock(&openLocksMutex);
    const bool kept = std::any_of(idleLocks->begin(), idleLocks->end(),
                                  [&path](const IdleLock& idle) { return idle.path == path; });
    if (!kept) {
        try {
            // A few paths at most: a process that moved its caches directory does not keep
            // every lock file it ever used open.
            if (idleLocks->size() >= MAX_IDLE_LOCKS) {
                const int oldest = idleLocks->front().fd;
                idleLocks->erase(idleLocks->begin());
                openLocks->erase(std::remove(openLocks->begin(), openLocks->end(), oldest), openLocks->end());
                ::close(oldest);
            }
            idleLocks->push_back(IdleLock{path, fd, device, inode});
            pthread_mutex_unlock(&openLocksMutex);
            return;
        } catch (...) {
            // No room to keep it: closed below, as before there was any keeping.
        }
    }
    pthread_mutex_unlock(&openLocksMutex);
    closeRegistered(fd);
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
    dev_t device = 0;
    ino_t inode = 0;
    const int fd = openRegistered(path, device, inode);
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
    FileLock held(fd, changes, currentProcessId());
    held.path_ = path;
    held.device_ = device;
    held.inode_ = inode;
    return held;
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(other.fd_),
      changes_(other.changes_),
      owner_(other.owner_),
      path_(std::move(other.path_)),
      device_(other.device_),
      inode_(other.inode_) {
    other.fd_ = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        changes_ = other.changes_;
        owner_ = other.owner_;
        path_ = std::move(other.path_);
        device_ = other.device_;
        inode_ = other.inode_;
        other.fd_ = -1;
    }
    return *this;
}

FileLock::~FileLock() {
    release();
}

void FileLock::release() noexcept {
    if (fd_ >= 0 && owner_ == currentProcessId()) {
        releaseRegistered(fd_, path_, device_, inode_);
    }
    fd_ = -1;
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
