// Building and writing one upload body: 20 stored fixes and the device description, read
// from the real stores, against writing the very same object with nlohmann/json alone.

#include "PushRequest.h"
#include "TraceRepository.h"

#include <LumvexSdk/Platform.h>
#include <benchmark/benchmark.h>

#include "RatioReporter.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace lumvex {

struct PushRequestTestAccess {
    static nlohmann::json build(const PushRequest& request, PushFormat format) {
        return request.buildJsonPushDataAsDict(format);
    }
    static std::optional<std::string> serialise(const nlohmann::json& dict) {
        return PushRequest::jsonPushAsData(dict);
    }
};

namespace {

constexpr int TRACES = 20;

/// A private caches directory holding 20 fixes and no recorded description, so that every
/// body carries both.
class Stores {
public:
    Stores() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumvex-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        dir_ = pattern;
        ::setenv("XDG_CACHE_HOME", dir_.c_str(), 1);
        platform::setMainBundleDirectory(dir_);
        for (int i = 0; i < TRACES; ++i) {
            TraceRepository::shared().addTrace(Location{48.858370 + i * 0.0001, 2.294481 - i * 0.0001});
        }
        const auto stored = TraceRepository::shared().getTracesAsDict().size();
        if (stored != TRACES) {
            std::fprintf(stderr, "expected %d stored fixes, found %zu\n", TRACES, stored);
            std::exit(1);
        }
    }
    ~Stores() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

private:
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
        auto dict = PushRequestTestAccess::build(request(), PushFormat::LOCATION_AND_DEVICE_INFO);
        if (dict["locations"].size() != TRACES || dict["devices_infos"].empty()) {
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
        auto dict = PushRequestTestAccess::build(request(), PushFormat::LOCATION_AND_DEVICE_INFO);
        auto data = PushRequestTestAccess::serialise(dict);
        bytes = data ? data->size() : 0;
        benchmark::DoNotOptimize(data);
    }
    state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_BuildAndSerialiseBody);

void BM_SerialiseBody(benchmark::State& state) {
    const auto& dict = sampleBody();
    for (auto _ : state) {
        auto data = PushRequestTestAccess::serialise(dict);
        benchmark::DoNotOptimize(data);
    }
}
BENCHMARK(BM_SerialiseBody);

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
    for (const char* name : {"BM_BuildAndSerialiseBody", "BM_SerialiseBody"}) {
        lumvex::bench::RatioReporter::printRatio(name, reporter.meanNs(name), "BM_BaselineNlohmannDump",
                                                 baseline);
    }
    benchmark::Shutdown();
    return 0;
}
