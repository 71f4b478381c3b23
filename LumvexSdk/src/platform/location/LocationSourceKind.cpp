#include "platform/location/LocationSourceKind.h"

#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"
#include "platform/location/GeoClue.h"
#include "platform/location/GpsdSession.h"

namespace lumvex::platform {

namespace {

// The kinds, the earliest registered first. Made on first use, so that a kind registered
// while the program's statics are made still comes after the built-in ones.
Guarded<std::vector<const LocationSourceKind*>>& registered() {
    static NoDestructor<Guarded<std::vector<const LocationSourceKind*>>> kinds(
        std::vector<const LocationSourceKind*>{&gpsdSourceKind(), &geoClueSourceKind()});
    return *kinds;
}

}  // namespace

void registerLocationSource(const LocationSourceKind& kind) {
    registered().with([&kind](std::vector<const LocationSourceKind*>& kinds) { kinds.push_back(&kind); });
}

std::vector<const LocationSourceKind*> registeredLocationSources() {
    auto kinds = registered().with([](const std::vector<const LocationSourceKind*>& all) { return all; });
    return {kinds.rbegin(), kinds.rend()};
}

}  // namespace lumvex::platform
