// What keeping days offline costs. BM_AppendWithBacklog: storing one fix, flushed to
// stable storage, with 10, 10,000 and 1,000,000 fixes stored before it (it must stay flat
// as the backlog grows), and the bytes written for it: by the library's system calls
// (written_bytes_per_fix, from /proc/self/io) and what the store grew by on disk
// (stored_bytes_per_fix). BM_UploadBacklogMemory: the resident memory that uploading a
// backlog of 300,000 fixes to a real collector adds to the process, at its peak.

#include "platform/base/Clock.h"
#include "platform/system/CachesDirectory.h"
#include "store/OfflineStore.h"
#include "store/TraceCodec.h"
#include "store/TraceRepository.h"

#include <LumvexSdk/LumvexSdk.h>
#include <benchmark/benchmark.h>

#include "Collector.h"
#include "Failures.h"
#include "TempRoot.h"

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using lumvex::OfflineStore;

// The offline store's folder in a caches directory of the benchmark's own.
class Sandbox {
public:
    Sandbox() { std::filesystem::create_directories(offlineDir()); }
    std::string offlineDir() const { return home_.cachesDir() + "/offline"; }

private:
    lumvex::bench::BenchHome home_;
};

Sandbox& sandbox() {
    static Sandbox instance;
    return instance;
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A fresh store holding `count` fixes, one every 10 s up to now.
bool fill(std::uint64_t count) {
    std::filesystem::remove_all(sandbox().offlineDir());
    std::vector<std::string> traces;
    const auto first = nowMs() - static_cast<std::int64_t>(count) * 10000;
    for (std::uint64_t n = 0; n < count; ++n) {
        traces.push_back(lumvex::TraceCodec::formatTrace({52.5163 + n * 1e-6, 13.3777},
                                                         static_cast<std::uint64_t>(first) + n * 10000));
        if (traces.size() == 10000 || n + 1 == count) {
            if (!OfflineStore::shared().importTraces(traces)) {
                return false;
            }
            traces.clear();
        }
    }
    return true;
}

std::uint64_t writtenBytes() {
    std::ifstream io("/proc/self/io");
    std::string name;
    std::uint64_t value = 0;
    while (io >> name >> value) {
        if (name == "wchar:") {
            return value;
        }
    }
    return 0;
}

std::uint64_t storedBytes() {
    std::uint64_t total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(sandbox().offlineDir())) {
        if (entry.path().extension() == ".seg") {
            total += entry.file_size();
        }
    }
    return total;
}

std::uint64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

void BM_AppendWithBacklog(benchmark::State& state) {
    const auto backlog = static_cast<std::uint64_t>(state.range(0));
    auto& store = OfflineStore::shared();
    store.configure(OfflineStore::Capacity{std::chrono::hours(24 * 3650), 10000000}, 1000,
                    lumvex::TraceRepository::shared());
    if (!fill(backlog)) {
        lumvex::bench::failBeforeLoop(state, "BM_AppendWithBacklog", "the backlog could not be stored");
        return;
    }
    const auto storedBefore = storedBytes();
    const auto writtenBefore = writtenBytes();
    for (auto _ : state) {
        if (!store.add({52.5163, 13.3777}, static_cast<std::uint64_t>(nowMs()))) {
            lumvex::bench::fail(state, "BM_AppendWithBacklog", "a fix was not stored");
        }
    }
    const auto fixes = static_cast<double>(state.iterations());
    state.counters["written_bytes_per_fix"] = static_cast<double>(writtenBytes() - writtenBefore) / fixes;
    state.counters["stored_bytes_per_fix"] = static_cast<double>(storedBytes() - storedBefore) / fixes;
    store.configure(std::nullopt, 1000, lumvex::TraceRepository::shared());
}
BENCHMARK(BM_AppendWithBacklog)->Arg(10)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

void BM_UploadBacklogMemory(benchmark::State& state) {
    constexpr std::uint64_t kBacklog = 300000;
    lumvex::test::Collector collector({std::nullopt, nullptr, {"--quiet"}});
    auto& sdk = lumvex::Lumvex::shared();
    const auto configuration = lumvex::LumvexConfiguration::Builder()
                                   .pushFormat(lumvex::PushFormat::LOCATION_ONLY)
                                   .endpoint(collector.baseUrl())
                                   .keepOffline(31, 1000000)
                                   .build();
    // A first, small upload makes the threads, the HTTP session and the allocator's pools,
    // which any upload needs: what is measured is what the backlog adds.
    if (!fill(2000) || sdk.start(configuration) ||
        sdk.shutdown(std::chrono::seconds(60)) != lumvex::ShutdownOutcome::DELIVERED || !fill(kBacklog) ||
        sdk.start(configuration)) {
        lumvex::bench::failBeforeLoop(state, "BM_UploadBacklogMemory", "the warm-up upload failed");
        return;
    }
    for (auto _ : state) {
        const auto before = residentBytes();
        std::atomic<bool> done{false};
        std::atomic<std::uint64_t> peak{before};
        std::thread sampler([&] {
            while (!done.load()) {
                const auto now = residentBytes();
                if (now > peak.load()) {
                    peak.store(now);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        const auto outcome = sdk.shutdown(std::chrono::seconds(300));
        done.store(true);
        sampler.join();
        if (outcome != lumvex::ShutdownOutcome::DELIVERED || OfflineStore::shared().count() != 0) {
            lumvex::bench::fail(state, "BM_UploadBacklogMemory", "the backlog was not delivered");
        }
        state.counters["added_resident_kib"] = static_cast<double>(peak.load() - before) / 1024.0;
    }
}
BENCHMARK(BM_UploadBacklogMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    sandbox();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return lumvex::bench::exitStatus("offline_store_bench");
}
