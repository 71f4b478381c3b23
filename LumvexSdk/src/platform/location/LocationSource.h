#pragma once

// Thread guarantees: a source belongs to the worker that made it (a manager's location
// thread, or the one caller at a time of `requestLocationHere`), which makes every request
// on it; it starts no thread and calls back nothing. Other threads reach a request under
// way only through its `RequestWake`. The outcomes are plain values.

#include <LumvexSdk/Location.h>

#include "platform/base/Clock.h"
#include "platform/location/RequestWake.h"

#include <optional>
#include <string>
#include <vector>

namespace lumvex::platform {

/// Why a location source gave no position. gpsd never refuses; GeoClue reports every kind.
struct SourceFailure {
    enum class Kind {
        /// The source refused: its agent did not consent, or location is switched off.
        REFUSED,
        /// Nothing answered where the source should be, or its name did not resolve.
        UNREACHABLE,
        /// The source went away during the request, or sent what no request should have
        /// to read.
        LOST,
        /// The source answered, but had no position in time.
        NO_FIX,
    };
    Kind kind;
    std::string description;
};

/// The fixes a source held, in its order, and when the first was measured if it said so.
struct SourceFixes {
    std::vector<Location> locations;
    std::optional<Clock::WallTime> takenAt;
};

/// How one request to a source ended: its `fix`, its `failure`, or `abandoned` when the
/// caller asked it to stop.
struct SourceOutcome {
    std::optional<SourceFixes> fix;
    std::optional<SourceFailure> failure;
    bool abandoned = false;
};

/// What one request asks for.
struct SourceRequest {
    /// When the request gives up, on the installed clock.
    Clock::TimePoint deadline;
    /// In metres, as `LocationManager::setDesiredAccuracy` took it; a source may ignore it.
    double desiredAccuracy;
};

/// Where a location manager's worker gets its fixes. The worker makes one source of each
/// kind it is told to use (see LocationSourceKind.h), keeps it for as long as it lives, and
/// makes one request at a time on it; each request settles before its deadline, or as soon
/// after it as a name lookup or connect returns.
class LocationSource {
public:
    virtual ~LocationSource() = default;
    /// How the log names the source when it is first used, after "Location source: ".
    virtual std::string describe() const = 0;
    /// One request on the calling thread. `wake` ends it early; it then says `abandoned`.
    virtual SourceOutcome request(const SourceRequest& request, RequestWake& wake) = 0;
};

}  // namespace lumvex::platform
