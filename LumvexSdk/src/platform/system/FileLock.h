#pragma once

// Thread guarantees: a `FileLock` belongs to whoever holds it and may be released on
// another thread than the one that took it. Taking one never throws. A child made by
// fork() holds none of its parent's locks: the descriptors are closed in the child as it
// starts, so a child that lives on cannot keep the parent's lock for itself.

#include <sys/types.h>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace lumvex::platform {

class LineFile;

/// An exclusive advisory lock (flock) on a small file of its own, which keeps the work of
/// several processes on the same files apart as a mutex keeps threads apart. The lock
/// file is never removed: removing it would let two processes lock two different files.
///
/// The file also holds a change counter, bumped by every holder that is about to change
/// what the lock guards. A holder that remembers the count it last saw knows, on taking the
/// lock again, whether anyone else changed the files in between, however alike the files
/// look (same size, same modification time to the clock tick).
class FileLock final {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    /// Waits for the lock on `path` (made 0600 when missing), at most about two seconds,
    /// and never past the wait bound of the calling thread (see `WaitBound`): the holders
    /// keep it for one file operation each, and one that was stopped midway must not stop
    /// this process too. Nothing when the lock cannot be had (logged).
    static std::optional<FileLock> lock(const std::string& path);
    /// Takes the lock only when nobody holds it; nothing when someone does (errno
    /// EWOULDBLOCK) or it cannot be had (errno says why).
    static std::optional<FileLock> tryLock(const std::string& path);

    /// While it lives, the lock waits of the calling thread end by `deadline`: a drain that
    /// must end in a bound shares it among its operations instead of giving it all to one
    /// lock wait. Bounds nest; the nearest holds.
    class WaitBound {
    public:
        explicit WaitBound(Deadline deadline);
        ~WaitBound();
        WaitBound(const WaitBound&) = delete;
        WaitBound& operator=(const WaitBound&) = delete;

    private:
        std::optional<Deadline> previous_;
    };

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    /// The change count stored in the file when the lock was taken or last bumped.
    std::uint64_t changes() const { return changes_; }
    /// Counts one more change; false when the count cannot be written, in which case the
    /// holder must not rely on it.
    bool bump();

    /// The change count in the lock file `file` (opened read-only), read without taking
    /// the lock: a reader that finds the count it last saw under the lock knows that no
    /// holder has begun a change since, as every holder bumps the count before it changes
    /// anything. Nothing when it cannot be read.
    static std::optional<std::uint64_t> changesIn(const LineFile& file);

private:
    FileLock(int fd, std::uint64_t changes, pid_t owner) : fd_(fd), changes_(changes), owner_(owner) {}
    enum class Waiting { untilTheBound, none };
    static std::optional<FileLock> take(const std::string& path, Waiting waiting);
    void release() noexcept;

    int fd_ = -1;
    std::uint64_t changes_ = 0;
    // The process that took it: in a forked child the descriptor was already closed, and
    // its number may belong to something else by now.
    pid_t owner_ = 0;
};

}  // namespace lumvex::platform
