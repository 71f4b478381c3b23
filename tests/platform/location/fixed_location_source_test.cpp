// A third location source, the least there can be: always at one place. Adding it takes this
// file's source and the one registration line below; the manager does the rest.

#include "platform/base/L.h"
#include "platform/location/LocationManager.h"
#include "platform/location/LocationSourceKind.h"

#include "StdoutFile.h"
#include "TaskEnvironment.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using lumvex::Location;
using namespace lumvex::platform;

namespace {

constexpr double kLatitude = 59.9075;
constexpr double kLongitude = 10.7405;

class FixedSource final : public LocationSource {
public:
    std::string describe() const override { return "a fixed position"; }
    SourceOutcome request(const SourceRequest&, RequestWake&) override {
        return SourceOutcome{SourceFixes{{Location{kLatitude, kLongitude}}, std::nullopt}, std::nullopt,
                             false};
    }
};

const LocationSourceKind kFixedSource{[] { return std::make_unique<FixedSource>(); }, nullptr, nullptr};
// Registered after gpsd and GeoClue and offered always: the automatic choice takes it first.
[[maybe_unused]] const bool kRegistered = (registerLocationSource(kFixedSource), true);

// Deliveries arrive on the test's run loop, which runs on the test's thread.
struct Delivered final : LocationManagerDelegate {
    void didUpdateLocations(LocationManager&, const std::vector<Location>& locations) override {
        updates.push_back(locations);
    }
    void didFailWithError(LocationManager&, const LocationError& error) override {
        errors += error.description + "\n";
    }
    std::vector<std::vector<Location>> updates;
    std::string errors;
};

TEST(FixedLocationSourceTest, ARegisteredSourceIsChosenAndDeliversThroughTheManager) {
    lumvex::test::TaskEnvironment env;
    lumvex::test::StdoutFile log;
    lumvex::L::writeLog = true;
    chooseLocationSourceAutomatically();
    auto manager = std::make_shared<LocationManager>();
    auto delegate = std::make_shared<Delivered>();
    manager->setDelegate(delegate);

    manager->requestLocation();
    ASSERT_TRUE(env.runUntil([&] { return !delegate->updates.empty() || !delegate->errors.empty(); }));
    lumvex::L::writeLog = false;
    ASSERT_EQ(delegate->updates.size(), 1u) << delegate->errors;
    ASSERT_EQ(delegate->updates[0].size(), 1u);
    EXPECT_EQ(delegate->updates[0][0].latitude, kLatitude);
    EXPECT_EQ(delegate->updates[0][0].longitude, kLongitude);
    // Like any source's fix, it is the location service's freshest one now.
    ASSERT_TRUE(manager->location().has_value());
    EXPECT_EQ(manager->location()->latitude, kLatitude);
    EXPECT_EQ(log.count("Location source: a fixed position"), 1u) << log.text();
}

}  // namespace
