#include "platform/system/CacheCarryOver.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace lumvex::platform {

namespace {

// The stores' files are a few KiB and the recorded request at most 4 MiB; a larger file is
// not one of ours and stays where it is.
constexpr off_t MAX_CARRIED_BYTES = 8 * 1024 * 1024;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool isOwnDirectory(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

bool endsWith(const std::string& name, const char* suffix) {
    const std::size_t length = std::strlen(suffix);
    return name.size() > length && name.compare(name.size() - length, length, suffix) == 0;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The content of our regular file `name` in `fromFd`; nothing when it is not one, or too
// large. Opened without blocking and without following a link.
std::optional<std::string> readOwnFile(int fromFd, const std::string& name) {
    const Descriptor fd(::openat(fromFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_size > MAX_CARRIED_BYTES) {
        errno = st.st_size > MAX_CARRIED_BYTES ? EFBIG : EPERM;
        return std::nullopt;
    }
    std::string data;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            return data;
        }
        data.append(buffer, static_cast<std::size_t>(n));
        if (data.size() > static_cast<std::size_t>(MAX_CARRIED_BYTES)) {
            errno = EFBIG;
            return std::nullopt;
        }
    }
}

// `gone`: another process of the application carried it first.
enum class Carried { moved, present, gone, failed };

// Across file systems: a private copy beside the target, flushed, linked in under the
// target's name (which fails rather than replaces when the name is taken), then the
// original removed. A process killed in between leaves either the original alone or
// both, never neither; the temporary has the name pattern that the stores' clean-up knows.
Carried copyAcross(int fromFd, const std::string& to, int toFd, const std::string& name) {
    const auto data = readOwnFile(fromFd, name);
    if (!data) {
        return errno == ENOENT ? Carried::gone : Carried::failed;
    }
    std::string temporary = to + "/" + name + ".XXXXXX";
    const Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return Carried::failed;
    }
    Carried outcome = Carried::failed;
    if (writeAll(fd.get(), *data) && ::fsync(fd.get()) == 0) {
        if (::linkat(AT_FDCWD, temporary.c_str(), toFd, name.c_str(), 0) == 0) {
            outcome = Carried::moved;
        } else if (errno == EEXIST) {
            outcome = Carried::present;
        }
    }
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    if (outcome == Carried::moved) {
        ::fsync(toFd);
        ::unlinkat(fromFd, name.c_str(), 0);
    }
    return outcome;
}

Carried carry(int fromFd, const std::string& to, int toFd, const std::string& name) {
    struct stat st {};
    if (::fstatat(fromFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? Carried::gone : Carried::failed;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        errno = EPERM;  // a link, a FIFO or someone else's file is not ours to move
        return Carried::failed;
    }
    // Within one file system one step moves it, and never over a file of the same name.
    if (::renameat2(fromFd, name.c_str(), toFd, name.c_str(), RENAME_NOREPLACE) == 0) {
        return Carried::moved;
    }
    if (errno == EEXIST) {
        return Carried::present;
    }
    if (errno == ENOENT) {
        return Carried::gone;
    }
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS) {
        return Carried::failed;
    }
    return copyAcross(fromFd, to, toFd, name);
}

}  // namespace

std::vector<std::string> carryOverStores(const std::string& from, const std::string& to) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    std::vector<std::string> log;
    // Usually there is nothing there: one failed open is the whole cost. A link or another
    // user's directory was refused by earlier versions too, and holds nothing of ours.
    const Descriptor fromFd(::open(from.c_str(), kFlags));
    if (fromFd.get() < 0) {
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) {
            log.push_back("Could not look for an earlier version's files in " + from + " : " +
                          std::strerror(errno));
        }
        return log;
    }
    if (!isOwnDirectory(fromFd.get())) {
        return log;
    }
    const Descriptor toFd(::open(to.c_str(), kFlags));
    if (toFd.get() < 0 || !isOwnDirectory(toFd.get())) {
        return log;
    }
    struct stat fromStat {};
    struct stat toStat {};
    if (::fstat(fromFd.get(), &fromStat) != 0 || ::fstat(toFd.get(), &toStat) != 0 ||
        (fromStat.st_dev == toStat.st_dev && fromStat.st_ino == toStat.st_ino)) {
        return log;
    }
    const int listed = ::dup(fromFd.get());
    DIR* dir = listed < 0 ? nullptr : ::fdopendir(listed);
    if (!dir) {
        if (listed >= 0) {
            ::close(listed);
        }
        return log;
    }
    std::string moved;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!endsWith(name, ".lmx")) {
            continue;
        }
        switch (carry(fromFd.get(), to, toFd.get(), name)) {
            case Carried::moved:
                moved += (moved.empty() ? "" : ", ") + name;
                break;
            case Carried::present:
                log.push_back("Left " + from + "/" + name + " where it was: " + to +
                              " has a file of that name");
                break;
            case Carried::gone:
                break;
            case Carried::failed:
                log.push_back("Could not carry " + from + "/" + name + " over to " + to + " : " +
                              std::strerror(errno));
                break;
        }
    }
    ::closedir(dir);
    if (!moved.empty()) {
        ::fsync(toFd.get());
        ::fsync(fromFd.get());
        log.insert(log.begin(), "Carried " + moved + " over from " + from +
                                    ", where an earlier version kept them, to " + to);
    }
    return log;
}

}  // namespace lumvex::platform
