#pragma once

// Thread guarantees: every call is safe from any thread; each holds the store's one lock
// for the whole of its file work (see the class). Nothing calls back.

#include <LumvexSdk/Lumvex.h>

#include "platform/base/NoDestructor.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/system/FileLock.h"
#include "platform/system/Files.h"
#include "store/TraceCodec.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace lumvex {

/// What one read of the trace file found: what an upload's body is assembled from, and
/// what its delivery removes.
struct TraceSnapshot {
    std::vector<std::string> lines;        // every line read, readable or not, file order
    std::vector<std::string> recordLines;  // the stored text behind each readable line
    /// The readable lines' records as the compact JSON text of an array of them, as
    /// nlohmann::json writes a `std::vector<TraceRecord>`, file order.
    std::string recordsText = "[]";
};

/// The fixes gathered between two uploads, one Base64 line each, in "backup.lmx" in the
/// caches directory. The file is kept near 1000 bytes by dropping its oldest line before
/// an append. Failures are logged, never reported: the fix or line concerned is given up.
///
/// Fixes arrive from the work queue and the location thread while an upload may be
/// reading or removing lines on its own thread, so every operation holds one lock for the
/// whole of its file work: each finds and leaves a whole file.
///
/// Several processes of one application (a second instance, a command-line tool beside a
/// daemon) share the caches directory and so the file. Each operation also holds an
/// advisory lock on "backup.lock" beside it for the whole of its file work, so their
/// appends, trims and removals never cross either. An operation that would change the file
/// and cannot have that lock does not change it: a removal fails (the upload keeps its
/// record and removes the lines later), and a fix is held in memory, at most
/// `MAX_HELD_FIXES` of them (the oldest dropped beyond, with a log line), until an operation
/// that has the lock writes it, first, in its order.
///
/// The store keeps a copy of the file's lines in memory, with each record's JSON text, in
/// step with its own appends, trims and removals. It is used only while the change count
/// in the lock file is the one this store last saw, and the file keeps the identity
/// (device, inode, size, modification and change times) the store last gave it; a file
/// changed by anyone else is read again, also by a tool that rewrites it in place without
/// the lock and puts its modification time back. The count is what sees another process's rewrite that came
/// out with the same size within one tick of the file system's clock.
class TraceRepository final {
public:
    static TraceRepository& shared();

    /// Whether a fix given to `addTrace` was counted first in a sender's `announcements`.
    enum class Arrival { direct, announced };

    /// A count of the fixes that one sender (an engine's work queue) has handed over on
    /// their way to `addTrace`, so that `storeHeldFixes` counts each until it is stored,
    /// held or given up. Only that sender counts it up, under its own lock, so the host's
    /// call pays no atomic read-modify-write; the store keeps every sender's count, since
    /// every engine of the process stores here, and the queue's item stays as small as a
    /// fix and the store it goes to. A sender that is gone leaves its count behind.
    std::shared_ptr<std::atomic<std::uint64_t>> announcements();
    /// Counts one announced fix as arrived.
    void withdraw() { withdrawn_.fetch_add(1); }

    /// Stores `location` with the current wall-clock time. An announced fix is withdrawn
    /// under the store's mutex, however the store ends, so that `storeHeldFixes` finds each
    /// fix in one place only.
    void addTrace(const Location& location, Arrival arrival = Arrival::direct);

    /// The lines and their records' JSON text, oldest first, read in one go, so that an
    /// upload can later remove exactly what it sent. Nothing when nothing is readable.
    TraceSnapshot getTracesAsDict();

    /// Removes the lines an upload carried (`sentLines`, as `getTracesAsDict` gave them)
    /// and keeps every line stored since. Lines already trimmed away are not looked for.
    /// When nothing else is left, the file is removed. False when sent lines may still be
    /// in the file: it could not be read or rewritten (logged).
    bool clearTraces(const std::vector<std::string>& sentLines);

    /// Writes the fixes held in memory for want of the lock, waiting for it as any
    /// operation does (within the calling thread's wait bound). How many are still held,
    /// plus those announced and still on their way, both taken under the store's mutex.
    std::size_t storeHeldFixes();

    /// While it lives, every wait for the trace file's lock in this process, on any
    /// thread, ends by `deadline`: a drain bounded at stop() or exit must not wait for the
    /// store behind the queue's worker, which waits for that lock on its own while it
    /// stores what the drain left to it. Drains at once keep their bounds apart; the
    /// earliest holds.
    class DrainBound {
    public:
        DrainBound(TraceRepository& store, platform::FileLock::Deadline deadline);
        ~DrainBound();
        DrainBound(const DrainBound&) = delete;
        DrainBound& operator=(const DrainBound&) = delete;

    private:
        TraceRepository& store_;
        std::multiset<platform::FileLock::Deadline>::iterator entry_;
    };

    /// As many fixes as the lock's holders keep for a while: twice what the file holds.
    static constexpr std::size_t MAX_HELD_FIXES = 64;

    TraceRepository(const TraceRepository&) = delete;
    TraceRepository& operator=(const TraceRepository&) = delete;

private:
    friend class platform::NoDestructor<TraceRepository>;
    TraceRepository() = default;

    /// One stored line and, once rendered, its record's JSON text.
    struct MirroredLine {
        explicit MirroredLine(std::string text) : line(std::move(text)) {}
        std::string line;
        std::optional<std::string> recordText;  // nothing: not rendered yet, or unreadable
        std::string recordLine;                 // the line's stored text, once rendered
    };

    static constexpr const char* FILENAME = "backup.lmx";
    static constexpr std::uint64_t MAX_FILE_SIZE = 1000;
    // Appends keep the file within a line of MAX_FILE_SIZE; a file this large was not
    // written by the store (or not only by it) and is never read whole.
    static constexpr std::uint64_t FOREIGN_FILE_SIZE = 256 * 1024;

    void appendToFile(std::string line) LUMVEX_REQUIRES(mutex_);
    /// The size of the trace file with identity `identity`, 0 when there is none or it is
    /// not a regular file.
    static std::uint64_t getTracesFileSize(const std::optional<platform::FileIdentity>& identity);
    void deleteFirstLine(const std::string& path, const platform::FileIdentity& identity)
        LUMVEX_REQUIRES(mutex_);
    /// Makes `lines` from index `first` on the whole file at `path`, and its mirror.
    /// `operation` names the caller in the log when the file cannot be written.
    bool keepLinesFrom(const std::string& path, std::vector<MirroredLine> lines, std::size_t first,
                       const char* operation) LUMVEX_REQUIRES(mutex_);
    /// The file's lines: the mirror's when it holds the file as `identity` shows it, else
    /// read from the file (nothing when it cannot be). Leaves the mirror empty.
    std::optional<std::vector<MirroredLine>> takeLines(const std::string& path,
                                                       const std::optional<platform::FileIdentity>& identity)
        LUMVEX_REQUIRES(mutex_);
    /// The file's lines read afresh; nothing when it cannot be read.
    static std::optional<std::vector<MirroredLine>> readLines(const std::string& path);
    /// Makes the mirror hold the file at `path` (`identity` from lstat before reading),
    /// kept past this read only when the file did not change while it was read. False
    /// when the file cannot be read.
    bool loadMirror(const std::string& path, const std::optional<platform::FileIdentity>& identity)
        LUMVEX_REQUIRES(mutex_);
    /// Renders the records of the mirror's lines that have none yet in the device's current
    /// time zone; all of them again when the zone changed.
    void renderMirror() LUMVEX_REQUIRES(mutex_);
    /// The mirror as a snapshot; readable lines only in its records.
    TraceSnapshot snapshotOfMirror() const LUMVEX_REQUIRES(mutex_);
    /// False when the file is still there.
    bool clearTracesLocked() LUMVEX_REQUIRES(mutex_);

    /// Whether the mirror holds the file at `path` as it is (`identity` from lstat).
    bool mirrorMatches(const std::string& path, const std::optional<platform::FileIdentity>& identity) const
        LUMVEX_REQUIRES(mutex_);
    /// Whether the mirror is known to be the file's content without taking the lock (see
    /// `FileLock::changesIn`): the count is the one it was read under, and neither the lock
    /// file nor the trace file was replaced.
    bool mirrorStillCurrent() LUMVEX_REQUIRES(mutex_);
    /// Makes the mirror hold `lines` as the file at `path` now holds them.
    void setMirror(const std::string& path, std::vector<MirroredLine> lines) LUMVEX_REQUIRES(mutex_);
    void forgetMirror() LUMVEX_REQUIRES(mutex_);
    /// The trace file's path in the caches directory that the operation's StoreLock found.
    std::optional<std::string> getTracesFileUrl() const LUMVEX_REQUIRES(mutex_);

    /// Holds the lock between processes for one operation (none when it cannot be had:
    /// a read goes ahead without trusting the mirror, a change does not go ahead). On
    /// taking it, forgets the mirror when another process changed the file since, and
    /// writes the fixes held for want of it; an operation that may change the file counts
    /// its change before making it. On release, remembers the count.
    class StoreLock {
    public:
        enum class Use { reading, changing };
        StoreLock(TraceRepository& store, Use use) LUMVEX_REQUIRES(store.mutex_);
        /// Whether the operation may change the file.
        bool held() const { return lock_.has_value(); }
        // Runs under the store's mutex, which the analysis cannot follow into a destructor.
        ~StoreLock() LUMVEX_NO_THREAD_SAFETY_ANALYSIS;
        StoreLock(const StoreLock&) = delete;
        StoreLock& operator=(const StoreLock&) = delete;

    private:
        TraceRepository& store_;
        std::optional<platform::FileLock> lock_;
        bool countKnown_ = true;
    };
    /// Keeps `line` for a later operation that has the lock.
    void hold(std::string line) LUMVEX_REQUIRES(mutex_);
    static constexpr const char* LOCK_FILENAME = "backup.lock";

    platform::Mutex mutex_;
    // Taken alone, never with another lock held inside it.
    platform::Mutex boundsMutex_;
    std::multiset<platform::FileLock::Deadline> drainBounds_ LUMVEX_GUARDED_BY(boundsMutex_);
    // The caches directory of the operation under way, looked up once by its StoreLock.
    std::optional<std::string> directory_ LUMVEX_GUARDED_BY(mutex_);
    // The change count of the lock file that the mirror goes with; nothing when unknown.
    std::optional<std::uint64_t> mirrorChanges_ LUMVEX_GUARDED_BY(mutex_);
    // Whether this process has cleared what killed processes left of their rewrites.
    bool tidied_ LUMVEX_GUARDED_BY(mutex_) = false;
    // The mirror of the trace file.
    bool mirrorValid_ LUMVEX_GUARDED_BY(mutex_) = false;
    std::string mirrorPath_ LUMVEX_GUARDED_BY(mutex_);
    platform::FileIdentity mirrorIdentity_ LUMVEX_GUARDED_BY(mutex_);
    std::vector<MirroredLine> mirror_ LUMVEX_GUARDED_BY(mutex_);
    std::string mirrorZone_ LUMVEX_GUARDED_BY(mutex_);  // the time zone the record texts were rendered in
    // Fixes, as stored lines, that could not be written for want of the lock; oldest first.
    std::vector<std::string> held_ LUMVEX_GUARDED_BY(mutex_);
    // Every sender's announcements, and what the senders that are gone had announced.
    std::vector<std::unique_ptr<std::atomic<std::uint64_t>>> senders_ LUMVEX_GUARDED_BY(mutex_);
    std::uint64_t announcedByGone_ LUMVEX_GUARDED_BY(mutex_) = 0;
    std::atomic<std::uint64_t> withdrawn_{0};
    // The trace file, kept open for the next append while its path still names it (the
    // append's lstat tells); let go when the store replaces or removes the file.
    std::optional<platform::LineFile> traceFile_ LUMVEX_GUARDED_BY(mutex_);
    std::string traceFilePath_ LUMVEX_GUARDED_BY(mutex_);
    // The lock file, open for reading its count without the lock; the same lifetime rules.
    std::optional<platform::LineFile> countFile_ LUMVEX_GUARDED_BY(mutex_);
    std::string countFilePath_ LUMVEX_GUARDED_BY(mutex_);
};

}  // namespace lumvex
