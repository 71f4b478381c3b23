#include "platform/system/Files.h"

#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/Process.h"
#include "platform/system/FileWatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

namespace lumvex::platform {

namespace {

// Makes a completed rename or unlink survive a power loss: the directory entry is on disk
// too.
void syncDirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Writes the whole of `data`, however many calls that takes; errno set on failure.
bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

FileIdentity identityOf(const struct stat& st) {
    FileIdentity id;
    id.device = static_cast<unsigned long long>(st.st_dev);
    id.inode = static_cast<unsigned long long>(st.st_ino);
    id.size = static_cast<long long>(st.st_size);
    id.modifiedSeconds = static_cast<long long>(st.st_mtim.tv_sec);
    id.modifiedNanoseconds = static_cast<long>(st.st_mtim.tv_nsec);
    id.changedSeconds = static_cast<long long>(st.st_ctim.tv_sec);
    id.changedNanoseconds = static_cast<long>(st.st_ctim.tv_nsec);
    id.mode = static_cast<unsigned>(st.st_mode);
    return id;
}

}  // namespace

bool FileIdentity::operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modifiedSeconds == other.modifiedSeconds && modifiedNanoseconds == other.modifiedNanoseconds &&
           changedSeconds == other.changedSeconds && changedNanoseconds == other.changedNanoseconds &&
           mode == other.mode;
}

bool FileIdentity::sameFileAs(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && (mode & S_IFMT) == (other.mode & S_IFMT);
}

std::optional<FileIdentity> fileIdentity(const std::string& path, Links links) {
    struct stat st {};
    if ((links == Links::follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
        return std::nullopt;
    }
    return identityOf(st);
}

std::optional<FileIdentity> fileIdentity(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    return identityOf(st);
}

struct FileChecksOnce::Seen {
    std::string path;
    Links links;
    Changes changes;
    std::optional<FileIdentity> identity;
};

namespace {
thread_local std::vector<FileChecksOnce::Seen>* checksOnce = nullptr;
}  // namespace

FileChecksOnce::FileChecksOnce() {
    if (!checksOnce) {
        seen_ = new std::vector<Seen>();
        seen_->reserve(16);  // a body looks at about a dozen sources
        checksOnce = seen_;
        noteFileChanges();
    }
}

FileChecksOnce::~FileChecksOnce() {
    if (seen_) {
        checksOnce = nullptr;
        delete seen_;
    }
}

std::optional<FileIdentity> fileIdentityOnce(const std::string& path, Links links, Changes changes) {
    if (!checksOnce) {
        return fileIdentity(path, links);
    }
    for (const auto& seen : *checksOnce) {
        if (seen.links == links && seen.changes == changes && seen.path == path) {
            return seen.identity;
        }
    }
    auto identity = rememberedIdentity(path, links, changes);
    checksOnce->push_back(FileChecksOnce::Seen{path, links, changes, identity});
    return identity;
}

std::optional<std::string> readFileCached(const std::string& path, std::size_t maxBytes, Links links,
                                          Changes changes) {
    struct Entry {
        FileIdentity identity;
        std::size_t maxBytes = 0;
        Links links = Links::follow;
        std::optional<std::string> content;
    };
    // Device lookups may run on a library thread while the process exits.
    static NoDestructor<Guarded<std::map<std::string, Entry>>> cache;
    const auto identity = fileIdentityOnce(path, links, changes);
    if (!identity) {
        return std::nullopt;
    }
    {
        auto entries = cache->lock();
        const auto found = entries->find(path);
        if (found != entries->end() && found->second.identity == *identity &&
            found->second.maxBytes == maxBytes && found->second.links == links) {
            return found->second.content;
        }
    }
    // Kept under the identity seen before reading: a change made meanwhile shows as another
    // identity at the next call, which reads again.
    auto content = readFileBounded(path, maxBytes, links);
    cache->with([&](auto& entries) { entries[path] = Entry{*identity, maxBytes, links, content}; });
    return content;
}

int openOwnFile(const std::string& path, int flags, FileIdentity* opened) {
    if ((flags & O_CREAT) != 0) {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    if (opened) {
        *opened = identityOf(st);
    }
    return fd;
}

bool removeFileDurably(const std::string& path) {
    if (::unlink(path.c_str()) != 0) {
        return false;
    }
    // Without this a power cut could bring back a file whose lines were already delivered.
    syncDirectoryOf(path);
    return true;
}

bool writeFileAtomically(const std::string& path, std::string_view data, std::string* error) {
    auto fail = [&](const char* what) {
        if (error) {
            *error = std::string(what) + ": " + std::strerror(errno);
        }
        return false;
    };
    std::string temp = path + ".XXXXXX";
    // Close-on-exec: a child that the host spawns meanwhile must not inherit it.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return fail("cannot create a temporary file");
    }
    auto discard = [&](const char* what) {
        const int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = saved;
        return fail(what);
    };
    if (::fchmod(fd, 0600) != 0) {
        return discard("cannot set the file mode");
    }
    if (!writeAll(fd, data)) {
        return discard("cannot write");
    }
    if (::fsync(fd) != 0) {
        return discard("cannot flush to disk");
    }
    if (::close(fd) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return fail("cannot close");
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return fail("cannot replace the file");
    }
    syncDirectoryOf(path);
    return true;
}

std::size_t removeLeftoverTemporaries(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    // The names mkostemp gives for the pattern that writeFileAtomically uses.
    const std::string prefix = path.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) {
        return 0;
    }
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        bool generated = true;
        for (std::size_t i = prefix.size(); i < name.size(); ++i) {
            const char c = name[i];
            generated =
                generated && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'));
        }
        if (generated && ::unlinkat(::dirfd(dir), name.c_str(), 0) == 0) {
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}

std::optional<std::string> readFileBounded(const std::string& path, std::size_t maxBytes, Links links) {
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (links == Links::follow ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uintmax_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return std::nullopt;
    }
    std::string data;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // The size is checked again: the file may grow while it is read.
        if (n < 0 || data.size() + static_cast<std::size_t>(n) > maxBytes) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        data.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

std::optional<LineFile> LineFile::open(const std::string& path, int flags) {
    FileIdentity opened;
    const int fd = openOwnFile(path, flags, &opened);
    if (fd < 0) {
        return std::nullopt;
    }
    return LineFile(fd, opened, false);
}

namespace {

// The descriptors of files kept open between operations, closed in a forked child as it
// starts: a child must not keep the parent's trace file open for as long as it lives.
// Opening and registering, and unregistering and closing, happen under this mutex, which
// the fork handlers hold across the fork. Plain pthread objects, never destroyed, so that
// exit handlers and late forks find them whole.
pthread_mutex_t heldFilesMutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<int>* heldFiles = nullptr;

void heldFilesBeforeFork() {
    pthread_mutex_lock(&heldFilesMutex);
}
void heldFilesAfterForkInParent() {
    pthread_mutex_unlock(&heldFilesMutex);
}
void heldFilesAfterForkInChild() {
    if (heldFiles) {
        for (const int fd : *heldFiles) {
            ::close(fd);
        }
        heldFiles->clear();
    }
    pthread_mutex_unlock(&heldFilesMutex);
}

}  // namespace

std::optional<LineFile> LineFile::openHeld(const std::string& path, int flags) {
    static const bool handlersInstalled =
        ::pthread_atfork(&heldFilesBeforeFork, &heldFilesAfterForkInParent, &heldFilesAfterForkInChild) == 0;
    if (!handlersInstalled) {
        return open(path, flags);  // closed after the operation, as any file
    }
    pthread_mutex_lock(&heldFilesMutex);
    FileIdentity opened;
    const int fd = openOwnFile(path, flags, &opened);
    const int error = errno;
    if (fd < 0) {
        pthread_mutex_unlock(&heldFilesMutex);
        errno = error;
        return std::nullopt;
    }
    try {
        if (!heldFiles) {
            heldFiles = new std::vector<int>();
        }
        heldFiles->push_back(fd);
    } catch (...) {
        pthread_mutex_unlock(&heldFilesMutex);
        return LineFile(fd, opened, false);
    }
    pthread_mutex_unlock(&heldFilesMutex);
    LineFile file(fd, opened, true);
    file.owner_ = currentProcessId();
    return file;
}

bool LineFile::stillAt(const FileIdentity& current) {
    // In a forked child a held descriptor was closed as it started, and its number may be
    // another file's by now.
    if (fd_ < 0 || (held_ && owner_ != currentProcessId()) || current.device != opened_.device ||
        current.inode != opened_.inode || !S_ISREG(current.mode)) {
        return false;
    }
    opened_ = current;
    return true;
}

LineFile::LineFile(LineFile&& other) noexcept
    : fd_(other.fd_), opened_(other.opened_), held_(other.held_), owner_(other.owner_) {
    other.fd_ = -1;
}

LineFile::~LineFile() {
    if (fd_ < 0) {
        return;
    }
    if (!held_) {
        ::close(fd_);
        return;
    }
    // In a forked child the descriptor was closed as it started; its number may be
    // another file's by now.
    if (owner_ != currentProcessId()) {
        return;
    }
    pthread_mutex_lock(&heldFilesMutex);
    heldFiles->erase(std::remove(heldFiles->begin(), heldFiles->end(), fd_), heldFiles->end());
    ::close(fd_);
    pthread_mutex_unlock(&heldFilesMutex);
}

bool LineFile::readAt(off_t offset, void* into, std::size_t bytes) const {
    if (fd_ < 0 || (held_ && owner_ != currentProcessId())) {
        return false;
    }
    return ::pread(fd_, into, bytes, offset) == static_cast<ssize_t>(bytes);
}

std::optional<FileIdentity> LineFile::identity() const {
    return fileIdentity(fd_);
}

LineFile::Append LineFile::appendLine(std::string_view line, Ending ending) {
    if ((opened_.mode & 0077) != 0) {
        ::fchmod(fd_, 0600);  // a file from before the library kept its files private
    }
    const off_t size = static_cast<off_t>(opened_.size);
    std::string separated;
    if (size > 0 && ending == Ending::unknown) {
        char last = '\n';
        if (::pread(fd_, &last, 1, size - 1) != 1) {
            return Append::failed;
        }
        if (last != '\n') {
            // One write, so that the line feed and the line land together or not at all.
            separated.reserve(line.size() + 1);
            separated += '\n';
            separated += line;
            line = separated;
        }
    }
    if (!writeAll(fd_, line)) {
        // Leave the file as it was rather than with half a line.
        if (::ftruncate(fd_, size) != 0) {
            // Nothing more to do: the next append starts on a line of its own.
        }
        return Append::failed;
    }
    // The line is stored once it is on stable storage, not when it reaches the page cache:
    // a power cut must not take back a fix the host was told nothing about.
    if (::fdatasync(fd_) != 0) {
        return Append::failed;
    }
    return separated.empty() ? Append::appended : Append::appendedAfterLineFeed;
}

std::optional<std::string> LineFile::lastLines(std::size_t maxBytes) const {
    const auto size = static_cast<std::uint64_t>(opened_.size);
    const auto from = size > maxBytes ? size - maxBytes : 0;
    std::string tail(static_cast<std::size_t>(size - from), '\0');
    const ssize_t n = ::pread(fd_, tail.data(), tail.size(), static_cast<off_t>(from));
    if (n < 0) {
        return std::nullopt;
    }
    tail.resize(static_cast<std::size_t>(n));
    const auto firstEnd = tail.find('\n');
    return firstEnd == std::string::npos ? std::string() : tail.substr(firstEnd + 1);
}

}  // namespace lumvex::platform
