// What one sample costs: a one-shot request answered by a local gpsd whose receiver holds a
// fix (connect, watch, poll, hang up, deliver on the run loop), the same answered by a real
// GeoClue fed NMEA on a private bus (connect, create a client, start it, read the location,
// stop it, hang up; needs root), and the read of a recent fix, which a tick makes instead
// when the location service already holds one.

#include "platform/GeoClue.h"
#include "platform/LocationManager.h"
#include "platform/RunLoop.h"

#include "GeoClue.h"
#include "Gpsd.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

namespace {

using lumvex::Location;
using lumvex::platform::LocationError;
using lumvex::platform::LocationManager;

// Ends the run loop's wait when the answer arrives.
class StopOnAnswer final : public lumvex::platform::LocationManagerDelegate {
public:
    void didUpdateLocations(LocationManager&, const std::vector<Location>&) override {
        lumvex::RunLoop::current().stop();
    }
    void didFailWithError(LocationManager&, const LocationError& error) override {
        std::fprintf(stderr, "request failed: %s\n", error.description.c_str());
        std::abort();
    }
};

struct LocalGpsd {
    lumvex::test::FakeReceiver receiver;
    lumvex::test::Gpsd gpsd{{receiver.devicePath()}};

    LocalGpsd() {
        const auto epochs = lumvex::test::readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/walk.nmea");
        const auto [lat, lon] = lumvex::test::positionOf(epochs.at(0));
        if (!gpsd.start() || !gpsd.feedFix(receiver, epochs.at(0), lat, lon)) {
            std::fprintf(stderr, "gpsd did not come up:\n%s\n", gpsd.log().c_str());
            std::abort();
        }
        lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    }
};

LocalGpsd& localGpsd() {
    static LocalGpsd instance;
    return instance;
}

void BM_RequestLocationFromGpsd(benchmark::State& state) {
    localGpsd();
    auto manager = std::make_shared<LocationManager>();
    auto delegate = std::make_shared<StopOnAnswer>();
    manager->setDelegate(delegate);
    for (auto _ : state) {
        manager->requestLocation();
        lumvex::RunLoop::current().runFor(std::chrono::seconds(10));
    }
}
BENCHMARK(BM_RequestLocationFromGpsd)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RequestLocationFromGeoClue(benchmark::State& state) {
    // Every request takes the feeder's next epoch: GeoClue connects to it on each start.
    const auto walk = lumvex::test::readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/walk.nmea");
    std::vector<std::string> track;
    for (int i = 0; i < 2000; ++i) {
        track.insert(track.end(), walk.begin(), walk.end());
    }
    lumvex::test::GeoClueService geoClue(track);
    if (const auto why = geoClue.start(); !why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    lumvex::platform::setGeoClueBusAddress(geoClue.busAddress());
    lumvex::platform::useGeoClue(lumvex::test::GeoClueService::ALLOWED_ID);
    auto manager = std::make_shared<LocationManager>();
    auto delegate = std::make_shared<StopOnAnswer>();
    manager->setDelegate(delegate);
    for (auto _ : state) {
        manager->requestLocation();
        lumvex::RunLoop::current().runFor(std::chrono::seconds(10));
    }
    manager.reset();
    lumvex::platform::setGeoClueBusAddress("");
    auto& gpsd = localGpsd().gpsd;  // the next benchmark reads gpsd's fix
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
}
BENCHMARK(BM_RequestLocationFromGeoClue)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200);

void BM_RecentFix(benchmark::State& state) {
    localGpsd();
    auto manager = std::make_shared<LocationManager>();
    auto delegate = std::make_shared<StopOnAnswer>();
    manager->setDelegate(delegate);
    manager->requestLocation();
    lumvex::RunLoop::current().runFor(std::chrono::seconds(10));
    for (auto _ : state) {
        benchmark::DoNotOptimize(manager->location());
    }
}
BENCHMARK(BM_RecentFix);

}  // namespace

BENCHMARK_MAIN();
