#pragma once

// Thread guarantees: registering, choosing and listing kinds are safe from any thread. A
// kind's functions run on a location manager's thread (`forget` on the caller's), so they
// must be safe to call from any thread; a registered kind must live as long as the process.

#include "platform/base/Clock.h"
#include "platform/location/LocationSource.h"
#include "platform/location/RequestWake.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace lumvex::platform {

/// A kind of location source, as the location managers know it. Adding one is a file that
/// defines its `LocationSource` and a kind, plus one `registerLocationSource` line.
struct LocationSourceKind {
    /// Makes the source that a manager's thread keeps and asks.
    std::function<std::unique_ptr<LocationSource>()> make;
    /// For the automatic choice: whether the system offers this source, asked until
    /// `deadline`; nothing when `wake` ended the question first. Empty: it always does.
    std::function<std::optional<bool>(Clock::TimePoint deadline, RequestWake& wake)> offered;
    /// Forgets what the host set for this kind (`chooseLocationSourceAutomatically`).
    std::function<void()> forget;
};

/// Adds `kind` to those the automatic choice tries, ahead of every kind registered before it.
/// gpsd and GeoClue are registered first, in that order: GeoClue where the bus offers it,
/// else gpsd, unless a later kind serves.
void registerLocationSource(const LocationSourceKind& kind);

/// The registered kinds, in the order the automatic choice tries them.
std::vector<const LocationSourceKind*> registeredLocationSources();

/// Every manager asks a source of `kind` from its next request on, and the last fix is
/// forgotten: a fix of another source is not what this one holds. The debug log names the
/// source again at its first use.
void useLocationSource(const LocationSourceKind& kind);

}  // namespace lumvex::platform
