// Building and writing one upload body: 20 stored fixes and the device description, read
// from the real stores, against writing the very same object with nlohmann/json alone.

#include "PushRequest.h"
#include "TraceRepository.h"

#include <LumvexSdk/Platform.h>
#include <benchmark/benchmark.h>

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

/// Prints as usual and keeps each benchmark's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            // With repetitions, the mean stands for the benchmark (and is all there is
            // when only aggregates are reported).
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
            if ((single || mean) && !run.error_occurred) {
                times_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
    }
    void printRatios() const {
        const auto baseline = times_.find("BM_BaselineNlohmannDump");
        if (baseline == times_.end() || baseline->second <= 0) {
            return;
        }
        for (const char* name : {"BM_BuildAndSerialiseBody", "BM_SerialiseBody"}) {
            const auto found = times_.find(name);
            if (found != times_.end()) {
                std::printf("%s / BM_BaselineNlohmannDump = %.2f\n", name, found->second / baseline->second);
            }
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace
}  // namespace lumvex

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    lumvex::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
