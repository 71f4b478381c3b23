// Building one upload body: 20 stored fixes and the device description, read from the real
// stores and written as the JSON text that is sent, against writing the very same object
// with nlohmann/json alone. The bundle has an Info.plist, as every real host's does.

#include "store/TraceRepository.h"
#include "upload/PushRequest.h"

#include <LumvexSdk/Platform.h>
#include <benchmark/benchmark.h>

#include "RatioReporter.h"
#include "TempRoot.h"
#include "UploadTestAccess.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace lumvex {

namespace {

using lumvex::bench::TempRoot;

constexpr int TRACES = 20;

/// A private caches directory holding 20 fixes and no recorded description, so that every
/// body carries both.
class Stores {
public:
    Stores() {
        dir_ = temp_.path();
        ::setenv("XDG_CACHE_HOME", dir_.c_str(), 1);
        std::ofstream(dir_ + "/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
               "<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>com.example.bench</string>"
               "<key>CFBundleName</key><string>Bench</string>"
               "<key>CFBundleShortVersionString</key><string>2.4.1</string>"
               "<key>CFBundleVersion</key><string>241</string>"
               "<key>lumvex_api_key</key><string>key</string>"
               "</dict></plist>\n";
        platform::setMainBundleDirectory(dir_);
        for (int i = 0; i < TRACES; ++i) {
            TraceRepository::shared().addTrace(Location{48.858370 + i * 0.0001, 2.294481 - i * 0.0001});
        }
        const auto stored = TraceRepository::shared().getTracesAsDict().recordLines.size();
        if (stored != TRACES) {
            std::fprintf(stderr, "expected %d stored fixes, found %zu\n", TRACES, stored);
            std::exit(1);
        }
    }

private:
    TempRoot temp_;
    std::string dir_;
};

Stores& stores() {
    static Stores instance;
    return instance;
}

const PushRequest& request() {
    static const PushRequest instance("http://127.0.0.1:8710/", "http://127.0.0.1:8710/");
    return instance;
}

const nlohmann::json& sampleBody() {
    static const nlohmann::json body = [] {
        stores();
        auto dict = nlohmann::json::parse(
            PushRequestTestAccess::body(request(), PushFormat::LOCATION_AND_DEVICE_INFO));
        if (dict["locations"].size() != TRACES || dict["devices_infos"].empty() ||
            dict["devices_infos"]["app_version"] != "2.4.1") {
            std::fprintf(stderr, "the sample body lacks fixes or the description\n");
            std::exit(1);
        }
        return dict;
    }();
    return body;
}

void BM_BuildAndSerialiseBody(benchmark::State& state) {
    stores();
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto body = PushRequestTestAccess::body(request(), PushFormat::LOCATION_AND_DEVICE_INFO);
        bytes = body.size();
        benchmark::DoNotOptimize(body);
    }
    state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_BuildAndSerialiseBody);

void BM_BaselineNlohmannDump(benchmark::State& state) {
    const auto& dict = sampleBody();
    for (auto _ : state) {
        auto text = dict.dump();
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_BaselineNlohmannDump);

}  // namespace
}  // namespace lumvex

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    lumvex::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double baseline = reporter.meanNs("BM_BaselineNlohmannDump");
    lumvex::bench::RatioReporter::printRatio("BM_BuildAndSerialiseBody",
                                             reporter.meanNs("BM_BuildAndSerialiseBody"),
                                             "BM_BaselineNlohmannDump", baseline);
    // Both sides are the benchmark thread's own work (the body's few system calls included),
    // so their CPU times compare them whatever else the machine runs.
    const double body = reporter.meanCpuNs("BM_BuildAndSerialiseBody");
    const double dump = reporter.meanCpuNs("BM_BaselineNlohmannDump");
    if (body > 0 && dump > 0) {
        std::printf("BM_BuildAndSerialiseBody / BM_BaselineNlohmannDump in CPU time = %.2f\n", body / dump);
    }
    benchmark::Shutdown();
    return 0;
}
