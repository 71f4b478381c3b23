// A host that kept days of fixes while offline, for the offline drain test.
//
//   lumvex-offline-drainer <bundle directory> <endpoint base URL> fill <count> <first ms>
//   lumvex-offline-drainer <bundle directory> <endpoint base URL> drain <batch size>
//
// "fill" makes <count> fixes on a virtual clock, one every 10 s from <first ms> on, numbered
// by latitude from 1, and stores them in the offline store. "drain" starts the library with
// the store turned on and shuts it down, which uploads the backlog in batches. Exit status:
// 0 when it was delivered or there was nothing to send, 1 when it was kept.

#include <LumvexSdk/LumvexSdk.h>

#include "platform/base/Clock.h"
#include "store/OfflineStore.h"
#include "store/TraceCodec.h"
#include "store/TraceRepository.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

int fill(std::uint64_t count, std::int64_t firstMs) {
    auto clock = std::make_shared<lumvex::platform::VirtualClock>();
    clock->setWallTimeMilliseconds(firstMs);
    lumvex::platform::setClock(clock);
    std::vector<std::string> traces;
    for (std::uint64_t n = 1; n <= count; ++n) {
        traces.push_back(lumvex::TraceCodec::formatTrace(
            {static_cast<double>(n), static_cast<double>(n) + 0.5}, lumvex::TraceCodec::currentTimeMs()));
        clock->advance(std::chrono::seconds(10));
        if (traces.size() == 10000 || n == count) {
            if (!lumvex::OfflineStore::shared().importTraces(traces)) {
                return 1;
            }
            traces.clear();
        }
    }
    return 0;
}

int drain(const std::string& endpoint, std::int64_t batchSize) {
    auto& sdk = lumvex::Lumvex::shared();
    if (sdk.start(lumvex::LumvexConfiguration::Builder()
                      .pushFormat(lumvex::PushFormat::LOCATION_ONLY)
                      .endpoint(endpoint)
                      .keepOffline(31, 300000)
                      .maxBatchSize(batchSize)
                      .build())) {
        return 3;
    }
    // Stops, uploads the backlog and says how that went, also when nothing is left.
    const auto outcome = sdk.shutdown(std::chrono::seconds(300));
    return outcome == lumvex::ShutdownOutcome::KEPT ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        return 2;
    }
    lumvex::platform::setMainBundleDirectory(argv[1]);
    const std::string mode = argv[3];
    if (mode == "fill" && argc == 6) {
        return fill(std::strtoull(argv[4], nullptr, 10), std::strtoll(argv[5], nullptr, 10));
    }
    if (mode == "drain" && argc == 5) {
        return drain(argv[2], std::strtoll(argv[4], nullptr, 10));
    }
    return 2;
}
