#pragma once

// Thread guarantees: every call is safe from any thread; one lock serialises the store's
// work in this process and "offline/lock" keeps the processes of one application apart
// (both held for the whole of each operation). Nothing calls back.

#include <LumvexSdk/Lumvex.h>

#include "platform/base/NoDestructor.h"
#include "platform/base/ThreadAnnotations.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumvex {

class TraceRepository;

/// The fixes a batch carries, by their sequence numbers: what its 200 removes.
struct OfflineRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool operator==(const OfflineRange& other) const { return first == other.first && last == other.last; }
};

/// The oldest stored fixes, read for one request.
struct OfflineBatch {
    OfflineRange range;
    /// The readable fixes' records as the compact JSON text of an array, oldest first.
    std::string recordsText = "[]";
    std::size_t recordCount = 0;
};

/// The store a host opts into to keep days of fixes while uploads fail: the "offline"
/// folder in the caches directory, beside the trace file.
///
/// Fixes are appended, one line each ("<sequence>;<ms>;<lat>;<lng>#"), to "active.seg",
/// and put on stable storage one by one, as the trace file's appends are. A full active
/// segment (`SEGMENT_BYTES`) is renamed after its first sequence number and a new one
/// begun, so an append never reads or rewrites more than the tail of one segment, however
/// long the backlog. "head" holds the first sequence number still to deliver and the
/// count of fixes dropped by the bounds; delivery and purges only move it forward
/// (written atomically) and delete the segments left wholly behind it. A line cut short by
/// a crash lacks its final "#" and is skipped.
///
/// Without capacity configured the store takes no fixes, but what it holds is still read
/// for upload until delivered; then its segments are removed.
class OfflineStore final {
public:
    static OfflineStore& shared();

    /// How much to keep: fixes older than `maxAge`, or beyond the newest `maxFixes`, are
    /// dropped, oldest first.
    struct Capacity {
        std::chrono::milliseconds maxAge{0};
        std::uint64_t maxFixes = 0;
    };

    /// The host's settings for this process. With capacity, the fixes the trace file holds
    /// are moved over (then removed from it), so that they go out in order with the rest.
    void configure(std::optional<Capacity> capacity, std::size_t batchSize, TraceRepository& traces);

    /// Stores a fix stamped `atMs` when capacity is on. False when it is off, or the fix
    /// could not be written (logged): the trace file takes it then.
    bool add(const Location& location, std::uint64_t atMs);

    /// Stores many fixes' trace texts ("<ms>;<lat>;<lng>", as `TraceCodec::formatTrace`
    /// makes them) at once, oldest first, with one write and flush per segment, whether
    /// capacity is on or not. False when not all could be written (logged).
    bool importTraces(const std::vector<std::string>& traces);

    /// Up to the batch size of the oldest fixes; nothing when none is stored (or the store
    /// cannot be read, logged). Applies the age bound first, at most once an hour.
    std::optional<OfflineBatch> nextBatch();

    /// After a batch's 200: forgets every fix up to `range.last`. False when that could not
    /// be recorded (logged): the batch's record must stay.
    bool remove(const OfflineRange& range);

    /// What the bounds have dropped since the store was made.
    DroppedFixes dropped();

    /// How many fixes are stored (tests, benchmarks).
    std::uint64_t count();

    static constexpr std::size_t DEFAULT_BATCH_SIZE = LumvexConfiguration::DEFAULT_MAX_BATCH_SIZE;
    static constexpr std::size_t MAX_BATCH_SIZE = LumvexConfiguration::MAX_BATCH_SIZE;
    static constexpr std::uint64_t SEGMENT_BYTES = 256 * 1024;
    static constexpr const char* DIRECTORY = "offline";

    /// One file of fixes.
    struct Segment {
        std::string path;
        std::uint64_t first = 0;  // 0: the active segment, whose first is read from it
    };

    OfflineStore(const OfflineStore&) = delete;
    OfflineStore& operator=(const OfflineStore&) = delete;

private:
    friend class platform::NoDestructor<OfflineStore>;
    OfflineStore() = default;

    struct Head {
        std::uint64_t next = 1;  // first sequence number not yet delivered or dropped
        std::uint64_t dropped = 0;
        std::int64_t droppedSinceMs = 0;
    };

    // All below run under mutex_ and the lock between processes, in `directory`.
    bool append(const std::string& directory, const std::vector<std::string>& traces) LUMVEX_REQUIRES(mutex_);
    // Drops from the front of `texts` (trace texts about to be moved in) those that the
    // store already holds as its newest lines.
    void leaveOutMovedAlready(const std::string& directory, std::vector<std::string>& texts)
        LUMVEX_REQUIRES(mutex_);
    std::uint64_t lastSequence(const std::string& directory) LUMVEX_REQUIRES(mutex_);
    void applyCountBound(const std::string& directory, std::uint64_t last) LUMVEX_REQUIRES(mutex_);
    void applyAgeBound(const std::string& directory) LUMVEX_REQUIRES(mutex_);
    bool advance(const std::string& directory, Head head, std::uint64_t next, const std::string& why)
        LUMVEX_REQUIRES(mutex_);
    bool writeHead(const std::string& directory, const Head& head) LUMVEX_REQUIRES(mutex_);
    void removeBehind(const std::string& directory, std::uint64_t next) LUMVEX_REQUIRES(mutex_);

    static Head readHead(const std::string& directory);
    /// The sealed segments by first sequence number, then the active one if present.
    static std::vector<Segment> segments(const std::string& directory);
    static std::string activePath(const std::string& directory);

    platform::Mutex mutex_;
    std::optional<Capacity> capacity_ LUMVEX_GUARDED_BY(mutex_);
    std::size_t batchSize_ LUMVEX_GUARDED_BY(mutex_) = DEFAULT_BATCH_SIZE;
    // When the age bound was last applied, on the library's monotonic clock.
    std::optional<std::chrono::steady_clock::time_point> ageCheckedAt_ LUMVEX_GUARDED_BY(mutex_);
};

}  // namespace lumvex
