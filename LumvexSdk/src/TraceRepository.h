#pragma once

#include <LumvexSdk/Lumvex.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lumvex {

/// One stored fix as the upload sends it: "timestamp", "lat" and "lng".
using TraceRecord = std::map<std::string, std::string>;

/// What one read of the trace file found.
struct TraceSnapshot {
    std::vector<TraceRecord> records;      // readable lines as records, file order
    std::vector<std::string> lines;        // every line read, readable or not, file order
    std::vector<std::string> recordLines;  // the stored text behind each of `records`, in step
};

/// The fixes gathered between two uploads, one Base64 line each, in "backup.lmx" in the
/// caches directory. The file is kept near 1000 bytes by dropping its oldest line before
/// an append. Failures are logged, never reported: the fix or line concerned is given up.
///
/// Fixes arrive from the work queue and the location thread while an upload may be
/// reading or removing lines on its own thread, so every operation holds one lock for the
/// whole of its file work: each finds and leaves a whole file.
class TraceRepository final {
public:
    static TraceRepository& shared();

    /// Stores `location` with the current wall-clock time.
    void addTrace(const Location& location);

    /// The readable lines as records, oldest first.
    std::vector<TraceRecord> getTracesAsDict();

    /// The records together with the raw lines they came from, read in one go, so that
    /// an upload can later remove exactly what it sent.
    TraceSnapshot readTraces();

    /// Deletes the trace file, whatever it holds.
    void clearTraces();

    /// Removes the lines an upload carried (`sentLines`, as `readTraces` gave them) and
    /// keeps every line stored since. Lines already trimmed away are not looked for.
    /// When nothing else is left, the file is removed as `clearTraces` does.
    void removeTraces(const std::vector<std::string>& sentLines);

    /// The record behind one stored line (Base64 of the trace text), or nothing when the
    /// line is not one that the store could have written.
    static std::optional<TraceRecord> recordFromLine(const std::string& line);

    /// The trace text of one fix: "<ms>;<lat>;<lng>". Exposed for tests.
    static std::string formatTrace(const Location& location, std::uint64_t storedAtMs);
    /// A coordinate as stored: "%.15g" in the C locale, ".0" added to a whole number,
    /// "nan", "inf" and "-inf".
    static std::string formatCoordinate(double value);
    /// The wall-clock time in milliseconds since 1970, truncated; 0 before 1970.
    static std::uint64_t currentTimeMs();
    /// `seconds` since 1970 as local wall-clock time with a literal Z, e.g.
    /// "2017-06-01T12:00:00Z" two hours east of UTC. Gregorian calendar, ASCII digits.
    static std::optional<std::string> renderTimestamp(std::int64_t seconds);

    TraceRepository(const TraceRepository&) = delete;
    TraceRepository& operator=(const TraceRepository&) = delete;

private:
    TraceRepository() = default;

    static constexpr const char* FILENAME = "backup.lmx";
    static constexpr char TRACE_SEPARATOR = ';';
    static constexpr std::uint64_t MAX_FILE_SIZE = 1000;
    // Appends keep the file within a line of MAX_FILE_SIZE; a file this large was not
    // written by the store (or not only by it) and is never read whole.
    static constexpr std::uint64_t FOREIGN_FILE_SIZE = 256 * 1024;

    // All of these expect `mutex_` held.
    void appendToFile(std::string line);
    std::uint64_t getTracesFileSize(const std::string& path);
    void deleteFirstLine(const std::string& path, std::uint64_t size);
    TraceSnapshot readTracesLocked();
    void clearTracesLocked();
    static std::optional<TraceRecord> parseTrace(const std::string& text);
    static std::optional<std::string> getTracesFileUrl();

    std::mutex mutex_;
    // Whether this process has cleared what killed processes left of their rewrites.
    bool tidied_ = false;
};

}  // namespace lumvex
