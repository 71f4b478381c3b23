#include "platform/Files.h"

#include "L.h"
#include "platform/Bundle.h"
#include "platform/Guarded.h"
#include "platform/NoDestructor.h"
#include "platform/ThreadAnnotations.h"

#include <LumvexSdk/Platform.h>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

namespace lumvex::platform {

namespace {

// Why the caches directory at `path` cannot be used, or nothing when it can. Missing parts
// are made with mode 0700. The last component must be a real directory of this user: a
// link or a directory someone else made could point our writes, and the chmod, anywhere.
std::optional<std::string> prepareDirectory(const std::string& path) {
    auto failure = [](const std::string& what, const std::string& where) {
        return what + " " + where + " : " + std::strerror(errno);
    };
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    // Usually it is there already: one open, without walking its parents.
    int fd = ::open(path.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
        for (auto pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
            const auto parent = path.substr(0, pos);
            if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
                return failure("Error while creating directory", parent);
            }
        }
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            return failure("Error while creating caches directory", path);
        }
        fd = ::open(path.c_str(), kFlags);
    }
    if (fd < 0) {
        const int error = errno;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            return "Caches directory " + path + " is a symbolic link";
        }
        errno = error;
        return failure("Error while opening caches directory", path);
    }
    std::optional<std::string> problem;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        problem = failure("Error while checking caches directory", path);
    } else if (st.st_uid != ::geteuid()) {
        problem = "Caches directory " + path + " belongs to another user";
    } else if ((st.st_mode & 0077) != 0 && ::fchmod(fd, 0700) != 0) {
        // It holds the user's whereabouts: it stays private even when something else made
        // it first with a laxer mode.
        problem = failure("Error while making caches directory private", path);
    }
    ::close(fd);
    return problem;
}

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

// A NUL byte would end the path early: "..\0x" would name the parent directory. A name
// longer than the file system allows would make every file operation fail.
bool isSafeComponent(const std::string& name) {
    return !name.empty() && name.size() <= NAME_MAX && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
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
    id.mode = static_cast<unsigned>(st.st_mode);
    return id;
}

// Where the caches directory lies, once settled.
struct CachesPlace {
    Mutex mutex;
    // The base that the host gave; empty for none.
    std::string hostBase LUMVEX_GUARDED_BY(mutex);
    std::optional<std::string> path LUMVEX_GUARDED_BY(mutex);
    // The directory as it was when last found usable. While it stays the same directory,
    // with the same owner-only mode, it needs no new check; removed, replaced by a link or
    // another directory, or opened up, it is checked, and made, again.
    std::optional<FileIdentity> checked LUMVEX_GUARDED_BY(mutex);
    // Modification times change with every file added or removed; they do not matter here.
    static bool same(const FileIdentity& a, const FileIdentity& b) {
        return a.device == b.device && a.inode == b.inode && a.mode == b.mode;
    }
};

CachesPlace& cachesPlace() {
    // A store on a library thread may still look it up while the process exits.
    static NoDestructor<CachesPlace> place;
    return *place;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path == "/" ? std::string() : path;
}

// The home directory of the user's entry in the passwd database: what a service started
// without HOME (a systemd unit without User=) still has. Empty when there is none.
std::string passwdHome() {
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = hint > 0 ? static_cast<std::size_t>(hint) : 1024;
    // An entry larger than this is not a real one; the bound ends the growing.
    constexpr std::size_t kMaxEntryBytes = 1u << 20;
    while (size <= kMaxEntryBytes) {
        std::string buffer(size, '\0');
        struct passwd entry {};
        struct passwd* found = nullptr;
        const int error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE) {
            size *= 2;
            continue;
        }
        return error == 0 && found && found->pw_dir ? std::string(found->pw_dir) : std::string();
    }
    return {};
}

// The base under which the caches directory lies, or why there is none. Each candidate is
// taken only when set and absolute: a relative one would put the files wherever the host's
// working directory happens to be.
std::optional<std::string> cachesBase(const std::string& hostBase, std::string& why) {
    if (!hostBase.empty()) {
        if (hostBase[0] != '/') {
            why = "The caches directory given by the host is not an absolute path: " + hostBase;
            return std::nullopt;
        }
        return hostBase;
    }
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && xdg[0] == '/') {
        return std::string(xdg);
    }
    // systemd's CacheDirectory= may name several directories, joined by ':'.
    if (const char* systemd = std::getenv("CACHE_DIRECTORY"); systemd && systemd[0] == '/') {
        const std::string list(systemd);
        return list.substr(0, list.find(':'));
    }
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        return withoutTrailingSlashes(home) + "/.cache";
    }
    const auto home = passwdHome();
    if (!home.empty() && home[0] == '/') {
        return withoutTrailingSlashes(home) + "/.cache";
    }
    why =
        "No caches directory: none given by the host, and no absolute XDG_CACHE_HOME, "
        "CACHE_DIRECTORY, HOME or home directory in the user's passwd entry";
    return std::nullopt;
}

std::optional<std::string> resolveCachesDirectory(const std::string& hostBase, std::string& why) {
    auto base = cachesBase(hostBase, why);
    if (!base) {
        return std::nullopt;
    }
    auto name = Bundle::main().stringForKey("CFBundleIdentifier").value_or("");
    if (!isSafeComponent(name)) {
        name = executableName();
    }
    if (!isSafeComponent(name)) {
        why = "No usable name for the caches directory";
        return std::nullopt;
    }
    return *base + "/" + name;
}

}  // namespace

std::optional<std::string> cachesDirectory(std::string& why) {
    auto& place = cachesPlace();
    std::string dir;
    {
        MutexLock guard(place.mutex);
        if (!place.path) {
            place.path = resolveCachesDirectory(place.hostBase, why);
            if (!place.path) {
                return std::nullopt;
            }
        }
        dir = *place.path;
        // It may have been removed, or replaced, since the last use: one lstat tells.
        const auto now = fileIdentity(dir, false);
        if (now && place.checked && CachesPlace::same(*now, *place.checked)) {
            return dir;
        }
        place.checked.reset();
    }
    if (auto problem = prepareDirectory(dir)) {
        why = std::move(*problem);
        return std::nullopt;
    }
    const auto prepared = fileIdentity(dir, false);
    MutexLock guard(place.mutex);
    if (place.path == dir && prepared && S_ISDIR(prepared->mode)) {
        place.checked = prepared;
    }
    return dir;
}

std::optional<std::string> cachesDirectory() {
    std::string why;
    auto dir = cachesDirectory(why);
    if (!dir) {
        LUMVEX_LOG_ERROR("cachesDirectory()", why);
    }
    return dir;
}

void setCachesDirectory(const std::string& path) {
    auto& place = cachesPlace();
    MutexLock guard(place.mutex);
    place.hostBase = path;
    place.path.reset();
    place.checked.reset();
}

void forgetCachesDirectory() {
    auto& place = cachesPlace();
    MutexLock guard(place.mutex);
    place.path.reset();
    place.checked.reset();
}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modifiedSeconds == other.modifiedSeconds && modifiedNanoseconds == other.modifiedNanoseconds &&
           mode == other.mode;
}

std::optional<FileIdentity> fileIdentity(const std::string& path, bool followLinks) {
    struct stat st {};
    if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
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

std::optional<std::string> readFileCached(const std::string& path, std::size_t maxBytes) {
    struct Entry {
        FileIdentity identity;
        std::size_t maxBytes = 0;
        std::optional<std::string> content;
    };
    // Device lookups may run on a library thread while the process exits.
    static NoDestructor<Guarded<std::map<std::string, Entry>>> cache;
    const auto identity = fileIdentity(path);
    if (!identity) {
        return std::nullopt;
    }
    {
        auto entries = cache->lock();
        const auto found = entries->find(path);
        if (found != entries->end() && found->second.identity == *identity &&
            found->second.maxBytes == maxBytes) {
            return found->second.content;
        }
    }
    // Kept under the identity seen before reading: a change made meanwhile shows as another
    // identity at the next call, which reads again.
    auto content = readFileBounded(path, maxBytes);
    cache->with([&](auto& entries) { entries[path] = Entry{*identity, maxBytes, content}; });
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

std::optional<std::string> readFileBounded(const std::string& path, std::size_t maxBytes, bool followLinks) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
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
    return LineFile(fd, opened);
}

LineFile::LineFile(LineFile&& other) noexcept : fd_(other.fd_), opened_(other.opened_) {
    other.fd_ = -1;
}

LineFile::~LineFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::optional<FileIdentity> LineFile::identity() const {
    return fileIdentity(fd_);
}

LineFile::Append LineFile::appendLine(std::string_view line, bool endsWithLineFeed) {
    if ((opened_.mode & 0077) != 0) {
        ::fchmod(fd_, 0600);  // a file from before the library kept its files private
    }
    const off_t size = static_cast<off_t>(opened_.size);
    std::string separated;
    if (size > 0 && !endsWithLineFeed) {
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
