#pragma once

// Thread guarantees: plain values with no shared state; made on a source's request thread
// and read by the location manager on the same thread.

#include <optional>
#include <string>

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

/// How one request to a source ended: its `fix`, its `failure`, or `abandoned` when the
/// caller asked it to stop.
template <typename Fix>
struct SourceOutcome {
    std::optional<Fix> fix;
    std::optional<SourceFailure> failure;
    bool abandoned = false;
};

}  // namespace lumvex::platform
