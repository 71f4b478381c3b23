#include "platform/system/FileWatch.h"

#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/Process.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string_view>
#include <vector>

namespace lumvex::platform {

namespace {

// A folder on the way to a remembered file changes what the path names when one of its
// entries is renamed or removed, or when it is itself.
constexpr std::uint32_t kOnTheWay =
    IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The folder that holds a remembered file: its entries being made or their attributes
// changing too (a made entry ends a remembered absence).
constexpr std::uint32_t kEntries = kOnTheWay | IN_CREATE | IN_ATTRIB;
// A file that may be written in place is watched itself, not through every write in its
// folder: the kernel folds a run of writes to one file into one event, so a store that
// appends all day leaves one event waiting, not one per append. (A truncation is reported
// as a write; `touch` and the like as a change of attributes.)
constexpr std::uint32_t kWrites = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// Beyond these the state is dropped and begun again: a host watches a dozen folders, but
// a process that keeps making new caches directories and bundles (a test program) would
// otherwise add watches without end.
constexpr std::size_t kMaxFolders = 128;
constexpr std::size_t kMaxEntries = 128;

// One change that would end a remembered answer: an event on the folder `watch` about
// its entry `name`, or about the folder itself.
struct Dependency {
    int watch = -1;
    std::string name;
};

struct Entry {
    std::string path;
    Links links = Links::follow;
    Changes changes = Changes::anyWrite;
    std::optional<FileIdentity> identity;
    std::vector<Dependency> dependencies;
};

struct Folder {
    int watch = -1;
    std::uint32_t mask = 0;
};

struct State {
    // The process the descriptor was made in; a forked child leaves it alone.
    pid_t owner = 0;
    int fd = -1;
    // inotify_init1 failed: nothing is remembered, every answer is a stat.
    bool refused = false;
    std::map<std::string, Folder> folders;
    std::vector<Entry> entries;

    void reset() {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
        folders.clear();
        entries.clear();
    }
};

Guarded<State>& state() {
    // A library thread may describe the device while the process exits.
    static NoDestructor<Guarded<State>> instance;
    return *instance;
}

// Whether `path` is absolute and has no "." or ".." part, nor an empty one: the form in
// which its folders are the prefixes of the text.
bool plainAbsolute(const std::string& path) {
    if (path.size() < 2 || path.front() != '/' || path.back() == '/') {
        return false;
    }
    std::size_t start = 1;
    while (start <= path.size()) {
        const auto end = std::min(path.find('/', start), path.size());
        const auto part = std::string_view(path).substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

// `path` with its "." and ".." parts and repeated slashes taken out, as text: "/a/./b/../c"
// is "/a/c".
std::string lexicallyNormal(const std::string& path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto end = std::min(path.find('/', start), path.size());
        const auto part = std::string_view(path).substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string normal;
    for (const auto part : parts) {
        normal += '/';
        normal += part;
    }
    return normal.empty() ? "/" : normal;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Watches the file or folder at `path` for at least `mask`; its watch descriptor, or -1
// with errno set.
int watchPath(State& s, const std::string& path, std::uint32_t mask) {
    const auto found = s.folders.find(path);
    if (found != s.folders.end() && (found->second.mask & mask) == mask) {
        return found->second.watch;
    }
    if (s.fd < 0) {
        s.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (s.fd < 0) {
            s.refused = true;
            return -1;
        }
        s.owner = currentProcessId();
    }
    // Added to what the file or folder is watched for already, for other paths.
    const int watch = ::inotify_add_watch(s.fd, path.c_str(), mask | IN_MASK_ADD);
    if (watch < 0) {
        return -1;
    }
    auto& entry = s.folders[path];
    if (entry.watch != watch) {
        entry.mask = 0;
    }
    entry.watch = watch;
    entry.mask |= mask;
    return watch;
}

// Watches every folder on the way to `path`, the one holding it for its entries, and adds
// what would end an answer about it to `dependencies`. False when `path` is not plain and
// absolute, when a folder on the way is reached through a link (the folders whose entries
// decide what it names are then not the prefixes of its text), or when one cannot be
// watched. A folder watched already was checked when its watch was made, and is dropped
// when its entry in its own folder changes.
bool watchWay(State& s, const std::string& path, std::vector<Dependency>& dependencies) {
    if (!plainAbsolute(path)) {
        return false;
    }
    bool checked = false;
    std::size_t slash = 0;
    while (slash != std::string::npos) {
        const auto next = path.find('/', slash + 1);
        const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
        const std::string name =
            path.substr(slash + 1, next == std::string::npos ? std::string::npos : next - slash - 1);
        const auto mask = next == std::string::npos ? kEntries : kOnTheWay;
        const auto found = s.folders.find(folder);
        int watch =
            found != s.folders.end() && (found->second.mask & mask) == mask ? found->second.watch : -1;
        if (watch < 0) {
            char resolved[PATH_MAX];
            if (!checked &&
                (::realpath(parentOf(path).c_str(), resolved) == nullptr || parentOf(path) != resolved)) {
                return false;
            }
            checked = true;
            watch = watchPath(s, folder, mask);
            if (watch < 0) {
                return false;
            }
        }
        dependencies.push_back(Dependency{watch, name});
        slash = next;
    }
    return true;
}

// What would end an answer about `path`: the way to it; when a followed link is what is
// there, the way to what it names; and, for a file written in place, the file itself (what
// the link names). Nothing when some of it cannot be watched, or when the link names
// another link or goes through one.
std::optional<std::vector<Dependency>> dependenciesOf(State& s, const std::string& path, Links links,
                                                      Changes changes) {
    std::vector<Dependency> dependencies;
    if (!watchWay(s, path, dependencies)) {
        return std::nullopt;
    }
    std::string file = path;
    if (links == Links::follow) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof(target) - 1);
        if (n >= 0) {
            const std::string named(target, static_cast<std::size_t>(n));
            file = lexicallyNormal(named.front() == '/' ? named : parentOf(path) + "/" + named);
            char resolved[PATH_MAX];
            if (::realpath(path.c_str(), resolved) == nullptr || file != resolved ||
                !watchWay(s, file, dependencies)) {
                return std::nullopt;
            }
        } else if (errno != EINVAL && errno != ENOENT) {
            return std::nullopt;
        }
    }
    // A file made later is reported by its folder.
    if (changes == Changes::anyWrite) {
        const int watch = watchPath(s, file, kWrites | IN_DONT_FOLLOW);
        if (watch < 0 && errno != ENOENT) {
            return std::nullopt;
        }
        if (watch >= 0) {
            dependencies.push_back(Dependency{watch, std::string()});
        }
    }
    return dependencies;
}

bool usable(const State& s) {
    return !s.refused && (s.fd < 0 || s.owner == currentProcessId());
}

// Forgets every answer that `watch`'s event about `name` ("" for the folder itself) ends.
void forgetAnswers(State& s, int watch, std::string_view name) {
    auto& entries = s.entries;
    entries.erase(
        std::remove_if(entries.begin(), entries.end(),
                       [&](const Entry& entry) {
                           for (const auto& dependency : entry.dependencies) {
                               if (dependency.watch == watch && (name.empty() || dependency.name == name)) {
                                   return true;
                               }
                           }
                           return false;
                       }),
        entries.end());
}

// The entry `name` of the folder watched through `watch` was made, removed or renamed: what
// its path and the paths below it name may be another file or folder now, whose watch is
// made afresh when next needed. (The old one ends with what it watched.)
void forgetBelow(State& s, int watch, std::string_view name) {
    std::vector<std::string> changed;
    for (const auto& [path, folder] : s.folders) {
        if (folder.watch == watch) {
            changed.push_back((path == "/" ? std::string() : path) + "/" + std::string(name));
        }
    }
    for (const auto& top : changed) {
        for (auto it = s.folders.lower_bound(top);
             it != s.folders.end() && it->first.compare(0, top.size(), top) == 0;) {
            const bool below = it->first.size() == top.size() || it->first[top.size()] == '/';
            it = below ? s.folders.erase(it) : std::next(it);
        }
    }
}

// Every path watched through `watch`: one file or folder may be reached by several.
void forgetFolder(State& s, int watch) {
    for (auto it = s.folders.begin(); it != s.folders.end();) {
        it = it->second.watch == watch ? s.folders.erase(it) : std::next(it);
    }
}

}  // namespace

void noteFileChanges() {
    auto s = state().lock();
    if (s->fd < 0 || !usable(*s)) {
        return;
    }
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(s->fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN) {
                // The news cannot be had: nothing remembered can be trusted any longer.
                s->reset();
            }
            return;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                // Some news was lost, perhaps of a folder replaced: no watch can be trusted
                // to follow its path any longer. Begun again at the next question.
                s->reset();
                return;
            }
            const std::string_view name = event->len > 0 ? std::string_view(event->name) : std::string_view();
            forgetAnswers(*s, event->wd, name);
            if (!name.empty() && (event->mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) != 0) {
                forgetBelow(*s, event->wd, name);
            }
            if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) != 0) {
                // The watch no longer follows the folder's path: a folder made there later is
                // watched afresh.
                forgetFolder(*s, event->wd);
                if ((event->mask & IN_MOVE_SELF) != 0) {
                    ::inotify_rm_watch(s->fd, event->wd);
                }
            }
        }
    }
}

std::optional<FileIdentity> rememberedIdentity(const std::string& path, Links links, Changes changes) {
    auto s = state().lock();
    if (!usable(*s)) {
        return fileIdentity(path, links);
    }
    for (const auto& entry : s->entries) {
        if (entry.path == path && entry.links == links && entry.changes == changes) {
            return entry.identity;
        }
    }
    // Room for the folders of one more path (a few dozen at most), so that no watch made
    // below is dropped before its answer is remembered.
    if (s->folders.size() > kMaxFolders || s->entries.size() >= kMaxEntries) {
        s->reset();
    }
    // Watched first, then looked at: a change after the look is reported.
    auto dependencies = dependenciesOf(*s, path, links, changes);
    auto identity = fileIdentity(path, links);
    if (dependencies && usable(*s)) {
        s->entries.push_back(Entry{path, links, changes, identity, std::move(*dependencies)});
    }
    return identity;
}

}  // namespace lumvex::platform
