#pragma once

// Thread guarantees: a request runs wholly on the thread that calls `requestGeoClueFix`,
// on a bus connection of its own, and calls nothing back; other threads reach it only
// through the wake descriptor and `stopping`; `geoClueOffered` likewise. Both are safe
// from any thread, as is `setGeoClueBusAddress`.

#include <LumvexSdk/Lumvex.h>

#include "platform/Clock.h"
#include "platform/LocationSource.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace lumvex::platform {

/// A fix as GeoClue hands it over, with the time its source took it.
struct GeoClueFix {
    Location location;
    /// Calendar time of the measurement, in microseconds since 1970.
    std::uint64_t takenAtMicros = 0;
};

using GeoClueFailure = SourceFailure;
/// How one request to GeoClue ended.
using GeoClueOutcome = SourceOutcome<GeoClueFix>;

/// GeoClue's accuracy level for a desired accuracy in metres: the coarsest level that meets
/// it, and exact for the best there is (negative) or for no real need (over 1000 km).
std::uint32_t geoClueAccuracyLevel(double metres);

/// One request on a connection of its own: creates a client for `desktopId`, starts it,
/// takes the first location not older than `notBeforeMicros`, stops the client and hangs up.
/// Nothing of it stays between requests, so GeoClue can power its sources down and the
/// calling thread sleeps until its next request.
///
/// Runs on the calling thread until the installed clock reaches `deadline`; `wakeFd`
/// (readable when the caller wants attention) and `stopping` let the caller end it early.
GeoClueOutcome requestGeoClueFix(const std::string& desktopId, std::uint32_t accuracyLevel,
                                 std::uint64_t notBeforeMicros, Clock::TimePoint deadline, int wakeFd,
                                 const std::function<bool()>& stopping);

/// Whether the system bus offers GeoClue (its name is owned or can be activated), asked
/// until the installed clock reaches `deadline`; nothing when `stopping` ended it first
/// (looked at whenever `wakeFd` becomes readable). A bus that does not answer in time
/// offers nothing.
std::optional<bool> geoClueOffered(Clock::TimePoint deadline, int wakeFd,
                                   const std::function<bool()>& stopping);

/// The bus to reach GeoClue on; empty means the system bus (DBUS_SYSTEM_BUS_ADDRESS or its
/// standard socket). Tests point it at a private bus.
void setGeoClueBusAddress(std::string address);

}  // namespace lumvex::platform
