// What one sample costs: a one-shot request answered by a local gpsd whose receiver holds a
// fix (connect, watch, poll, hang up, deliver on the run loop), the same answered by a real
// GeoClue fed NMEA on a private bus (connect, create a client, start it, read the location,
// stop it, hang up; needs root), and the read of a recent fix, which a tick makes instead
// when the location service already holds one.

#include "platform/base/RunLoop.h"
#include "platform/location/GeoClue.h"
#include "platform/location/LocationManager.h"

#include "Failures.h"
#include "GeoClue.h"
#include "Gpsd.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using lumvex::Location;
using lumvex::platform::LocationError;
using lumvex::platform::LocationManager;

// Ends the run loop's wait when the answer arrives, and keeps the first failure.
class StopOnAnswer final : public lumvex::platform::LocationManagerDelegate {
public:
    void didUpdateLocations(LocationManager&, const std::vector<Location>&) override {
        answered_ = true;
        lumvex::RunLoop::current().stop();
    }
    void didFailWithError(LocationManager&, const LocationError& error) override {
        if (failure_.empty()) {
            failure_ = "request failed: " + error.description;
        }
        lumvex::RunLoop::current().stop();
    }

    /// Asks for a location and runs the loop until the answer; an empty text or why it
    /// did not come.
    std::string request(LocationManager& manager) {
        answered_ = false;
        manager.requestLocation();
        lumvex::RunLoop::current().runFor(std::chrono::seconds(10));
        if (!failure_.empty()) {
            return failure_;
        }
        return answered_ ? "" : "no answer within 10 s";
    }

private:
    // Both are written and read on this thread's run loop only.
    bool answered_ = false;
    std::string failure_;
};

struct LocalGpsd {
    lumvex::test::FakeReceiver receiver;
    lumvex::test::Gpsd gpsd{{receiver.devicePath()}};
    std::string failure;  // empty once gpsd holds a fix

    LocalGpsd() {
        const auto epochs = lumvex::test::readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/walk.nmea");
        const auto [lat, lon] = lumvex::test::positionOf(epochs.at(0));
        if (!gpsd.start() || !gpsd.feedFix(receiver, epochs.at(0), lat, lon)) {
            failure = "gpsd did not come up:\n" + gpsd.log();
            return;
        }
        lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    }
};

LocalGpsd& localGpsd() {
    static LocalGpsd instance;
    return instance;
}

void BM_RequestLocationFromGpsd(benchmark::State& state) {
    if (const auto& why = localGpsd().failure; !why.empty()) {
        lumvex::bench::failBeforeLoop(state, "BM_RequestLocationFromGpsd", why);
        return;
    }
    auto manager = std::make_shared<LocationManager>();
    auto delegate = std::make_shared<StopOnAnswer>();
    manager->setDelegate(delegate);
    bool failed = false;
    for (auto _ : state) {
        if (failed) {
            continue;
        }
        if (const auto why = delegate->request(*manager); !why.empty()) {
            lumvex::bench::fail(state, "BM_RequestLocationFromGpsd", why);
            failed = true;
        }
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
        lumvex::bench::failBeforeLoop(state, "BM_RequestLocationFromGeoClue", why);
        return;
    }
    lumvex::platform::setGeoClueBusAddress(geoClue.busAddress());
    lumvex::platform::useGeoClue(lumvex::test::GeoClueService::ALLOWED_ID);
    auto manager = std::make_shared<LocationManager>();
    auto delegate = std::make_shared<StopOnAnswer>();
    manager->setDelegate(delegate);
    bool failed = false;
    for (auto _ : state) {
        if (failed) {
            continue;
        }
        if (const auto why = delegate->request(*manager); !why.empty()) {
            lumvex::bench::fail(state, "BM_RequestLocationFromGeoClue", why);
            failed = true;
        }
    }
    manager.reset();
    lumvex::platform::setGeoClueBusAddress("");
    auto& gpsd = localGpsd().gpsd;  // the next benchmark reads gpsd's fix
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
}
BENCHMARK(BM_RequestLocationFromGeoClue)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200);

void BM_RecentFix(benchmark::State& state) {
    if (const auto& why = localGpsd().failure; !why.empty()) {
        lumvex::bench::failBeforeLoop(state, "BM_RecentFix", why);
        return;
    }
    auto manager = std::make_shared<LocationManager>();
    auto delegate = std::make_shared<StopOnAnswer>();
    manager->setDelegate(delegate);
    if (const auto why = delegate->request(*manager); !why.empty()) {
        lumvex::bench::failBeforeLoop(state, "BM_RecentFix", why);
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(manager->location());
    }
}
BENCHMARK(BM_RecentFix);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return lumvex::bench::exitStatus(argv[0]);
}
