#include "platform/system/CachesDirectory.h"

#include "platform/base/L.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/system/Bundle.h"
#include "platform/system/CacheCarryOver.h"
#include "platform/system/Files.h"
#include "platform/system/Identity.h"

#include <LumvexSdk/Platform.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// Where the caches directory lies, once settled.
struct CachesPlace {
    Mutex mutex;
    // The base that the host gave; empty for none.
    std::string hostBase LUMVEX_GUARDED_BY(mutex);
    std::optional<std::string> path LUMVEX_GUARDED_BY(mutex);
    // The main bundle's change count that `path` was settled under: another bundle may
    // carry another identifier, and so another name.
    std::uint64_t bundleChanges LUMVEX_GUARDED_BY(mutex) = 0;
    // The directory as it was when last found usable. While it stays the same directory,
    // with the same owner-only mode, it needs no new check; removed, replaced by a link or
    // another directory, or opened up, it is checked, and made, again.
    std::optional<FileIdentity> checked LUMVEX_GUARDED_BY(mutex);
    // Where an earlier version kept the files of this place, while they are still to be
    // carried over; nothing once done, or when the place did not move.
    std::optional<std::string> carryFrom LUMVEX_GUARDED_BY(mutex);
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
        // Every system call would see the path end at the NUL, and so act on a directory
        // that the host did not name, such as a parent of the one it meant.
        if (const auto nul = hostBase.find('\0'); nul != std::string::npos) {
            why = "The caches directory given by the host has a NUL byte after \"" + hostBase.substr(0, nul) +
                  "\"";
            return std::nullopt;
        }
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

// Where the caches directory named `name` lay before systemd's CacheDirectory= came before
// HOME: a service with both User= (and so HOME) and CacheDirectory= kept its files under
// HOME/.cache. Nothing when the base did not move.
std::optional<std::string> earlierPlace(const std::string& hostBase, const std::string& name) {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* systemd = std::getenv("CACHE_DIRECTORY");
    const char* home = std::getenv("HOME");
    if (!hostBase.empty() || (xdg && xdg[0] == '/') || !systemd || systemd[0] != '/' || !home ||
        home[0] != '/') {
        return std::nullopt;
    }
    return withoutTrailingSlashes(home) + "/.cache/" + name;
}

std::optional<std::string> resolveCachesDirectory(const std::string& hostBase, std::string& why,
                                                  std::optional<std::string>& carryFrom) {
    auto base = cachesBase(hostBase, why);
    if (!base) {
        return std::nullopt;
    }
    const auto name = storeName(*base, why);
    if (!name) {
        return std::nullopt;
    }
    auto path = *base + "/" + *name;
    // Under the same name only: a store named after a key's tag never existed in an
    // earlier version, and one named after the executable alone may hold several
    // applications' fixes, which are left where they are.
    carryFrom = earlierPlace(hostBase, *name);
    if (carryFrom == path) {
        carryFrom.reset();
    }
    return path;
}

// Settles where the directory lies, unless that is settled already for the bundle in force.
// Whether it is.
bool settle(CachesPlace& place, std::string& why) LUMVEX_REQUIRES(place.mutex) {
    const auto bundleChanges = mainBundleChanges();
    if (place.path && place.bundleChanges == bundleChanges) {
        return true;
    }
    place.bundleChanges = bundleChanges;
    place.checked.reset();
    place.carryFrom.reset();
    place.path = resolveCachesDirectory(place.hostBase, why, place.carryFrom);
    return place.path.has_value();
}

}  // namespace

std::optional<std::string> cachesDirectory(std::string& why) {
    auto& place = cachesPlace();
    std::string dir;
    {
        MutexLock guard(place.mutex);
        if (!settle(place, why)) {
            return std::nullopt;
        }
        dir = *place.path;
        // It may have been removed, or replaced, since the last use: one lstat tells, at
        // most once per upload body (see FileChecksOnce), and none while the kernel reports
        // nothing renamed or removed on the way to it.
        const auto now = fileIdentityOnce(dir, Links::dontFollow, Changes::entriesOnly);
        if (now && place.checked && CachesPlace::same(*now, *place.checked)) {
            return dir;
        }
        place.checked.reset();
    }
    if (auto problem = prepareDirectory(dir)) {
        why = std::move(*problem);
        return std::nullopt;
    }
    std::vector<std::string> carried;
    {
        MutexLock guard(place.mutex);
        // Under the lock, so that no store of this process finds the directory before
        // what an earlier version left is in it.
        if (place.path == dir && place.carryFrom) {
            carried = carryOverStores(*place.carryFrom, dir);
            place.carryFrom.reset();
        }
        const auto prepared = fileIdentity(dir, Links::dontFollow);
        if (place.path == dir && prepared && S_ISDIR(prepared->mode)) {
            place.checked = prepared;
        }
    }
    // Written whatever the log switch says: it happens once, usually before a start has set
    // the switch, and an operator looking for the files must find where they went.
    for (const auto& line : carried) {
        L::write(line, __LINE__, __FILE__, "cachesDirectory()");
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

}  // namespace lumvex::platform
