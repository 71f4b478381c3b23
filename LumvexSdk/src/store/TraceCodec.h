#pragma once

// Thread guarantees: pure functions, safe from any thread; the renderings read the
// process's time zone, which `renderTimestamp` reloads first.

#include <LumvexSdk/Lumvex.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace lumvex {

/// One stored fix as the upload sends it: "timestamp", "lat" and "lng".
using TraceRecord = std::map<std::string, std::string>;

/// The text of one stored fix, "<ms>;<lat>;<lng>", and the record that is read back from
/// it. Knows nothing of files: the trace store keeps the Base64 of these texts, one a line.
class TraceCodec final {
public:
    TraceCodec() = delete;

    /// The trace text of one fix: "<ms>;<lat>;<lng>".
    static std::string formatTrace(const Location& location, std::uint64_t storedAtMs);
    /// A coordinate as stored: "%.15g" in the C locale, ".0" added to a whole number,
    /// "nan", "inf" and "-inf".
    static std::string formatCoordinate(double value);
    /// The wall-clock time in milliseconds since 1970, truncated; 0 before 1970.
    static std::uint64_t currentTimeMs();

    /// `seconds` since 1970 as local wall-clock time with a literal Z, e.g.
    /// "2017-06-01T12:00:00Z" two hours east of UTC. Gregorian calendar, ASCII digits.
    static std::optional<std::string> renderTimestamp(std::int64_t seconds);
    /// The same in the time zone that tzset() last loaded: a reader of many lines loads
    /// the zone once.
    static std::optional<std::string> renderTimestampInLoadedZone(std::int64_t seconds);
    /// What identifies the zone that tzset() last loaded: texts rendered under another
    /// one are rendered again.
    static std::string loadedZone();

    /// The record behind one stored line (Base64 of a trace text, white space around it
    /// ignored), or nothing (logged) when it is not a line that the store could have
    /// written. Renders in the zone last loaded.
    static std::optional<TraceRecord> recordOfLine(const std::string& line);
    /// The record of one trace text, or nothing (logged).
    static std::optional<TraceRecord> parseTrace(const std::string& text);

    static constexpr char TRACE_SEPARATOR = ';';
};

}  // namespace lumvex
