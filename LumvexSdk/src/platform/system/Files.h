#pragma once

// Thread guarantees: every function is safe from any thread. `readFileCached`'s cache has a
// lock of its own; nothing else is kept between calls. Calls on the same file are not
// ordered against each other: a store that writes one file from several threads holds its
// own lock around all of its work on it. A `LineFile` is used by one thread at a time.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumvex::platform {

/// Whether a symbolic link at the path given is followed to what it names.
enum class Links {
    follow,
    /// The link itself: `fileIdentity` gives the link's, `readFileBounded` refuses it.
    dontFollow,
};

/// Opens one of the library's own files: never through a symbolic link, never waiting on
/// a FIFO or a device, and only when it is a regular file (else -1 with errno EINVAL).
/// `flags` are those of open(2); O_CREAT is not allowed. -1 with errno set on failure.
/// `opened`, when given, receives the identity of the file opened.
struct FileIdentity;
int openOwnFile(const std::string& path, int flags, FileIdentity* opened = nullptr);

/// Removes the file at `path` and makes the removal survive a power loss. Whether the
/// file was removed (errno set when not).
bool removeFileDurably(const std::string& path);

/// Replaces the file at `path` with `data`: written to a temporary file beside it (mode
/// 0600), flushed to disk, then renamed over the target, so a reader sees the old or the
/// new content. On failure the target is untouched and `error` says why.
bool writeFileAtomically(const std::string& path, std::string_view data, std::string* error = nullptr);

/// Removes the temporary files that interrupted `writeFileAtomically(path, ...)` calls left
/// beside `path` (a process killed between creating one and renaming it). Gives how many.
std::size_t removeLeftoverTemporaries(const std::string& path);

/// The whole content of the regular file at `path`, or nothing when it cannot be read, is
/// larger than `maxBytes` (files we read whole are small; a huge one is not ours) or is
/// not a regular file (a FIFO or a device would block or never end). With
/// `Links::dontFollow`, a symbolic link at `path` is refused too.
std::optional<std::string> readFileBounded(const std::string& path, std::size_t maxBytes,
                                           Links links = Links::follow);

/// What tells one state of a file from another without reading it: a replaced file has
/// another inode, a rewritten or appended one another size or modification time, and one
/// rewritten by a tool that then put its modification time back (`cp -p`, `rsync -t`,
/// `touch -r`) another change time, which no caller can set.
struct FileIdentity {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    long long modifiedSeconds = 0;
    long modifiedNanoseconds = 0;
    long long changedSeconds = 0;
    long changedNanoseconds = 0;
    unsigned mode = 0;

    bool operator==(const FileIdentity& other) const;
    /// Whether both are the same file (device, inode and type), however it changed.
    bool sameFileAs(const FileIdentity& other) const;
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

/// The identity of what is at `path` now, or nothing when there is nothing there or it
/// cannot be examined.
std::optional<FileIdentity> fileIdentity(const std::string& path, Links links = Links::follow);

/// The identity of the open file `fd`; nothing when fstat fails.
std::optional<FileIdentity> fileIdentity(int fd);

/// How a remembered file may change, which decides what the kernel is asked to report.
enum class Changes {
    /// Written in place by anyone (system files, a bundle's Info.plist): every write in its
    /// folder is reported.
    anyWrite,
    /// Only made, replaced, renamed or removed as a whole, or changed in a way that is
    /// announced otherwise (the stores, whose writers bump a change count first): in-place
    /// writes are not reported, so that the stores' own appends cost nothing. Only the
    /// device, inode and mode of such an answer are current.
    entriesOnly,
};

/// While one lives on a thread, `fileIdentityOnce` asks the system at most once per path: for
/// the checks of one upload's body, whose readers (the stores, the device description, the
/// bundle) would otherwise look at the same files several times within microseconds. A
/// scope inside another adds nothing; the outer one decides.
class FileChecksOnce final {
public:
    FileChecksOnce();
    ~FileChecksOnce();
    FileChecksOnce(const FileChecksOnce&) = delete;
    FileChecksOnce& operator=(const FileChecksOnce&) = delete;

    struct Seen;

private:
    std::vector<Seen>* seen_ = nullptr;  // owned when this is the outermost scope
};

/// `fileIdentity(path, links)`, asked once per path and links within a `FileChecksOnce` on
/// this thread, and answered from what the kernel reported since the last scope when it
/// can be (see FileWatch.h); `changes` says how the file may change. Outside a scope, a
/// stat. Only for files that the scope's work reads and does not change.
std::optional<FileIdentity> fileIdentityOnce(const std::string& path, Links links = Links::follow,
                                             Changes changes = Changes::anyWrite);

/// `readFileBounded(path, maxBytes, links)`, answered from memory while the file keeps the
/// identity it had when it was last read (`fileIdentityOnce(path, links, changes)`): one
/// stat instead of open, read and close, none when a `FileChecksOnce` knows the file
/// unchanged. For files that change by being written, not for the kernel's generated ones
/// under /proc.
std::optional<std::string> readFileCached(const std::string& path, std::size_t maxBytes,
                                          Links links = Links::follow, Changes changes = Changes::anyWrite);

/// One of the library's own files of text lines, open: opened as `openOwnFile` opens it,
/// closed when destroyed.
class LineFile final {
public:
    /// Nothing, with errno set as `openOwnFile` sets it, when it cannot be opened (ENOENT:
    /// there is no file). Appending needs O_RDWR | O_APPEND.
    static std::optional<LineFile> open(const std::string& path, int flags);

    LineFile(LineFile&& other) noexcept;
    LineFile& operator=(LineFile&&) = delete;
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;
    ~LineFile();

    /// The file as it was opened, before anything done through this object.
    const FileIdentity& opened() const { return opened_; }
    /// The file as it is now; nothing when fstat fails.
    std::optional<FileIdentity> identity() const;

    enum class Append {
        failed,
        appended,
        /// The file's last line had lost its line feed, and got one before the new line.
        appendedAfterLineFeed,
    };
    /// What the caller knows of the file's last byte as it was opened.
    enum class Ending {
        unknown,
        /// It is a line feed (or the file is empty): no need to read it.
        lineFeed,
    };
    /// Appends `line`, which ends with its line feed, and puts it on stable storage. An
    /// append cut short (power loss, a killed process) leaves a last line without its line
    /// feed; one is written first so that the new line is not glued onto it, unless the
    /// caller knows the `ending` to be a line feed. A file that others may read is made
    /// private first. On failure the file is cut back to the size it was opened with.
    Append appendLine(std::string_view line, Ending ending);

    /// Reads exactly `bytes` bytes at `offset` into `into`; false when fewer could be read.
    bool readAt(off_t offset, void* into, std::size_t bytes) const;

    /// The whole lines within the file's last `maxBytes` bytes (as opened): what follows the
    /// first line feed in them. Nothing when they cannot be read.
    std::optional<std::string> lastLines(std::size_t maxBytes) const;

    /// Opens as `open` does, for a caller that keeps the file open between operations: the
    /// descriptor is closed in a child made by fork() as it starts, so that no child keeps
    /// a parent's file open for as long as it lives.
    static std::optional<LineFile> openHeld(const std::string& path, int flags);
    /// For a file kept open: whether the path still names it, given the path's `current`
    /// identity (from lstat). When it does, that identity becomes the one the next
    /// operation starts from, as if the file had been opened again now.
    bool stillAt(const FileIdentity& current);

private:
    LineFile(int fd, const FileIdentity& opened, bool held) : fd_(fd), opened_(opened), held_(held) {}

    int fd_;
    FileIdentity opened_;
    bool held_ = false;
    pid_t owner_ = 0;  // for a held file: the process that opened it
};

}  // namespace lumvex::platform
