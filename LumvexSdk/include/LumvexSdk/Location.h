#pragma once

// Thread guarantees: a plain value with no shared state; copy it freely between threads.

#include <LumvexSdk/Export.h>

namespace lumvex {

/// A position fix, as the host or the location service hands it over.
struct Location {
    /// Degrees north of the equator (WGS 84), from -90 to 90; south is negative.
    double latitude = 0.0;
    /// Degrees east of Greenwich (WGS 84), from -180 to 180; west is negative.
    double longitude = 0.0;
    // The library stores both as given, with no range check: a host that hands over a
    // value outside these ranges uploads it as it is.
};

}  // namespace lumvex
