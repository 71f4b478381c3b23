// The cost of storing one fix with the trace file at its cap, against the least I/O that
// the file format needs for it: one atomic rewrite of about a kilobyte (the trim) plus
// one append flushed to stable storage. Prints the ratio of the two after the run, and
// what the flush of an append costs on its own.

#include "platform/system/Files.h"
#include "store/TraceRepository.h"

#include <LumvexSdk/Platform.h>
#include <benchmark/benchmark.h>

#include "Failures.h"
#include "RatioReporter.h"
#include "TempRoot.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>

namespace {

using lumvex::TraceRepository;

lumvex::bench::BenchHome& sandbox() {
    static lumvex::bench::BenchHome instance;
    return instance;
}

/// Stores more fixes than the file's cap of a kilobyte holds; whether the file is then
/// at its cap, within a line.
bool fillToCap() {
    auto& repo = TraceRepository::shared();
    repo.clearTraces(repo.getTracesAsDict().lines);
    for (int i = 0; i < 40; ++i) {
        repo.addTrace({48.856614 + i * 1e-6, 2.3522219});
    }
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(sandbox().cachesDir() + "/backup.lmx", ec);
    return !ec && bytes > 900;
}

std::string errnoText(const std::string& what, int err) {
    return what + ": " + std::generic_category().message(err);
}

void BM_AddTraceAtCap(benchmark::State& state) {
    sandbox();
    if (!fillToCap()) {
        lumvex::bench::failBeforeLoop(state, "BM_AddTraceAtCap", "the store did not fill to its cap");
        return;
    }
    auto& repo = TraceRepository::shared();
    int i = 0;
    for (auto _ : state) {
        // Lines of one length, so that the file stays at the cap.
        repo.addTrace({48.856614 + (i++ % 10) * 1e-6, 2.3522219});
    }
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(sandbox().cachesDir() + "/backup.lmx", ec);
    if (ec) {
        lumvex::bench::fail(state, "BM_AddTraceAtCap", "the trace file: " + ec.message());
        return;
    }
    state.counters["file_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_AddTraceAtCap)->UseRealTime();

// What the format cannot do without: the trim as one atomic rewrite of the file less its
// first line, and the new line appended in place and flushed (a stored fix survives a
// power cut).
void BM_MinimalIoBaseline(benchmark::State& state) {
    sandbox();
    const std::string path = sandbox().cachesDir() + "/baseline.lmx";
    std::string content;
    if (fillToCap()) {
        std::ifstream in(sandbox().cachesDir() + "/backup.lmx", std::ios::binary);
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (content.find('\n') == std::string::npos) {
        lumvex::bench::failBeforeLoop(state, "BM_MinimalIoBaseline", "no trace file at the cap to copy");
        return;
    }
    const auto firstLine = content.find('\n') + 1;
    const std::string trimmed = content.substr(firstLine);
    const std::string line = content.substr(0, firstLine);
    bool failed = false;
    for (auto _ : state) {
        if (failed) {
            continue;
        }
        if (!lumvex::platform::writeFileAtomically(path, trimmed)) {
            lumvex::bench::fail(state, "BM_MinimalIoBaseline", "atomic write of " + path + " failed");
            failed = true;
            continue;
        }
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0 || ::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
            ::fdatasync(fd) != 0) {
            const int err = errno;
            lumvex::bench::fail(state, "BM_MinimalIoBaseline", errnoText("append to " + path, err));
            failed = true;
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    state.counters["file_bytes"] = static_cast<double>(trimmed.size() + line.size());
}
BENCHMARK(BM_MinimalIoBaseline)->UseRealTime();

// What flushing costs per fix: one line appended to a file of the cap's size, with and
// without fdatasync. The file is cut back now and then, outside the timing, so that it
// stays near the cap.
void appendLines(benchmark::State& state, bool flush) {
    sandbox();
    const char* name = flush ? "BM_AppendFlushed" : "BM_AppendUnflushed";
    const std::string path = sandbox().cachesDir() + (flush ? "/flushed.lmx" : "/unflushed.lmx");
    const std::string line = "MTQ5NjMxMTIwMDEyMzs0OC44NTY2MTQ7Mi4zNTIyMjE5\n";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int err = errno;
        lumvex::bench::failBeforeLoop(state, name, errnoText("open " + path, err));
        return;
    }
    int appended = 0;
    bool failed = false;
    for (auto _ : state) {
        if (failed) {
            continue;
        }
        if (++appended % 20 == 0) {
            state.PauseTiming();
            const bool cut = ::ftruncate(fd, 1000) == 0;
            const int err = errno;
            state.ResumeTiming();
            if (!cut) {
                lumvex::bench::fail(state, name, errnoText("truncate " + path, err));
                failed = true;
                continue;
            }
        }
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
            (flush && ::fdatasync(fd) != 0)) {
            const int err = errno;
            lumvex::bench::fail(state, name, errnoText("append to " + path, err));
            failed = true;
        }
    }
    ::close(fd);
}
void BM_AppendFlushed(benchmark::State& state) {
    appendLines(state, true);
}
void BM_AppendUnflushed(benchmark::State& state) {
    appendLines(state, false);
}
BENCHMARK(BM_AppendFlushed)->UseRealTime();
BENCHMARK(BM_AppendUnflushed)->UseRealTime();

// For reference: an append below the cap, and reading the capped file back as records.
void BM_AddTraceBelowCap(benchmark::State& state) {
    sandbox();
    auto& repo = TraceRepository::shared();
    int added = 0;
    for (auto _ : state) {
        if (added++ % 10 == 0) {
            state.PauseTiming();
            repo.clearTraces(repo.getTracesAsDict().lines);
            state.ResumeTiming();
        }
        repo.addTrace({48.856614, 2.3522219});
    }
}
BENCHMARK(BM_AddTraceBelowCap)->UseRealTime();

void BM_GetTracesAsDictAtCap(benchmark::State& state) {
    sandbox();
    if (!fillToCap()) {
        lumvex::bench::failBeforeLoop(state, "BM_GetTracesAsDictAtCap", "the store did not fill to its cap");
        return;
    }
    auto& repo = TraceRepository::shared();
    for (auto _ : state) {
        benchmark::DoNotOptimize(repo.getTracesAsDict());
    }
}
BENCHMARK(BM_GetTracesAsDictAtCap)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    lumvex::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (!lumvex::bench::failures().empty()) {
        return lumvex::bench::exitStatus(argv[0]);
    }
    const double store = reporter.meanNs("BM_AddTraceAtCap");
    const double baseline = reporter.meanNs("BM_MinimalIoBaseline");
    if (store > 0 && baseline > 0) {
        std::printf("addTrace at cap: %.1f us, least I/O: %.1f us, ratio %.2f\n", store / 1e3, baseline / 1e3,
                    store / baseline);
    }
    const double flushed = reporter.meanNs("BM_AppendFlushed");
    const double unflushed = reporter.meanNs("BM_AppendUnflushed");
    if (flushed > 0 && unflushed > 0) {
        std::printf("flush per fix: %.1f us (append %.1f us flushed, %.1f us not)\n",
                    (flushed - unflushed) / 1e3, flushed / 1e3, unflushed / 1e3);
    }
    return 0;
}
