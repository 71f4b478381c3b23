#include "platform/system/FileLock.h"

#include "platform/base/L.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace lumvex::platform {

namespace {

// How long a lock is waited for: this many tries, a pause apart. The pauses are real time,
// not the installed clock's: the other holders run on real time, whatever clock this
// process installed.
constexpr int LOCK_TRIES = 200;
constexpr long LOCK_PAUSE_NS = 10 * 1000 * 1000;

}  // namespace

std::optional<FileLock> FileLock::lock(const std::string& path) {
    return take(path, Waiting::untilTheBound);
}

std::optional<FileLock> FileLock::tryLock(const std::string& path) {
    return take(path, Waiting::none);
}

std::optional<FileLock> FileLock::take(const std::string& path, Waiting waiting) {
    const bool wait = waiting == Waiting::untilTheBound;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        LUMVEX_LOG_ERROR("lock()", "Cannot open the lock file " + path + ": " + std::strerror(errno));
        return std::nullopt;
    }
    for (int attempt = 0;; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            break;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error != EWOULDBLOCK || !wait || attempt + 1 >= LOCK_TRIES) {
            if (wait) {
                LUMVEX_LOG_ERROR("lock()", "Cannot lock " + path + ": " + std::strerror(error));
            }
            ::close(fd);
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
    return FileLock(fd, changes);
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(other.fd_), changes_(other.changes_) {
    other.fd_ = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.fd_;
        changes_ = other.changes_;
        other.fd_ = -1;
    }
    return *this;
}

FileLock::~FileLock() {
    if (fd_ >= 0) {
        ::close(fd_);  // lets go of the lock with the last descriptor of its open file
    }
}

bool FileLock::bump() {
    // Never 0, which is what an unreadable count reads as.
    const std::uint64_t next = changes_ + 1 == 0 ? 1 : changes_ + 1;
    if (::pwrite(fd_, &next, sizeof(next), 0) != static_cast<ssize_t>(sizeof(next))) {
        return false;
    }
    changes_ = next;
    return true;
}

}  // namespace lumvex::platform
