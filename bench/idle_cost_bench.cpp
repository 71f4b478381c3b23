// What a started library costs a host that does nothing: the threads' wakeups (voluntary
// context switches of every thread of the process but the measuring one, from
// /proc/self/task/*/status) between two sampling ticks and per tick, and the memory before the
// first call into the library, after start and the first ticks, and after the first upload
// (which sets up the HTTP layer): resident (VmRSS, shared code included) and private dirty
// (Private_Dirty of /proc/self/smaps_rollup, what the process alone wrote).
//
// The library runs with the default configuration on a host thread that runs its run loop,
// on the system clock: the idle run lasts LUMVEX_IDLE_SECONDS (default 21, two ticks; 60 or
// more for a per-minute figure). Positions come from gpsd at its default address, if one
// runs there; otherwise each tick's request fails at once, which is cheaper.

#include <LumvexSdk/LumvexSdk.h>

#include "LumvexEngine.h"
#include "PushRequest.h"

#include <benchmark/benchmark.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

/// Voluntary context switches per thread id, all threads but `except`.
std::map<long, long> wakeupsByThread(long except) {
    std::map<long, long> out;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
        const long tid = std::strtol(entry.path().filename().c_str(), nullptr, 10);
        if (tid == except) {
            continue;
        }
        std::ifstream status(entry.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                out[tid] = std::strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
            }
        }
    }
    return out;
}

/// Wakeups between two readings: new threads count from zero, ended ones are not seen.
long wakeupsBetween(const std::map<long, long>& before, const std::map<long, long>& after,
                    std::string* detail = nullptr) {
    long total = 0;
    for (const auto& [tid, count] : after) {
        const auto found = before.find(tid);
        const long delta = count - (found == before.end() ? 0 : found->second);
        total += delta;
        if (detail && delta != 0) {
            *detail += " tid " + std::to_string(tid) + ": " + std::to_string(delta);
        }
    }
    return total;
}

/// The value in KiB of the line that starts with `key` in a /proc file of "Key: N kB" lines.
long kibFrom(const char* path, const std::string& key) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
        }
    }
    return -1;
}

struct Memory {
    long residentKiB;      // everything mapped in, shared library code included
    long privateDirtyKiB;  // what this process alone wrote: heap, stacks, relocated data

    static Memory now() {
        return {kibFrom("/proc/self/status", "VmRSS:"), kibFrom("/proc/self/smaps_rollup", "Private_Dirty:")};
    }
};

/// Stores a fix and forces an upload, which sets up the HTTP layer; waits for its outcome.
void firstUpload() {
    std::promise<void> answered;
    lumvex::Lumvex::shared().addTrace(lumvex::Location{48.85, 2.29});
    lumvex::Lumvex::shared().forcePush(
        [&answered](std::optional<lumvex::LumvexException>) { answered.set_value(); });
    if (answered.get_future().wait_for(60s) != std::future_status::ready) {
        std::fprintf(stderr, "the first upload was not answered\n");
        std::exit(1);
    }
}

std::chrono::seconds idleSeconds() {
    if (const char* text = std::getenv("LUMVEX_IDLE_SECONDS")) {
        const long seconds = std::strtol(text, nullptr, 10);
        if (seconds > 0) {
            return std::chrono::seconds(seconds);
        }
    }
    return 21s;
}

void BM_IdleStartedLibrary(benchmark::State& state) {
    const long self = static_cast<long>(::syscall(SYS_gettid));
    std::string root = (fs::temp_directory_path() / "lumvex-bench-XXXXXX").string();
    if (!::mkdtemp(root.data())) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    fs::create_directories(root + "/bundle");
    std::ofstream(root + "/bundle/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>lumvex_api_key</key><string>key</string></dict></plist>\n";
    ::setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
    lumvex::platform::setMainBundleDirectory(root + "/bundle");
    // The daily upload does not come within the run; if it did, it would go nowhere.
    lumvex::PushRequest::setDefaultEndpointForTesting("http://127.0.0.1:1/");

    const auto tick = std::chrono::seconds(lumvex::LumvexEngine::TRACE_INTERVAL_SECONDS);
    for (auto _ : state) {
        const auto before = Memory::now();
        std::promise<lumvex::RunLoop*> hostLoop;
        std::thread host([&hostLoop] {
            auto& loop = lumvex::RunLoop::current();
            hostLoop.set_value(&loop);
            if (lumvex::Lumvex::shared().start(lumvex::LumvexConfiguration::defaultEuConfig())) {
                std::fprintf(stderr, "the library did not start\n");
                std::exit(1);
            }
            loop.run();
            lumvex::Lumvex::shared().stop();
        });
        auto* loop = hostLoop.get_future().get();
        const auto started = std::chrono::steady_clock::now();
        const auto run = idleSeconds();
        const auto ticks = run / tick;

        // Between the start and the first tick nothing may wake at all; the measured quiet
        // window leaves half a second on either side for the start and the tick.
        std::this_thread::sleep_until(started + 500ms);
        const auto quietBefore = wakeupsByThread(self);
        std::this_thread::sleep_until(started + tick - 500ms);
        const auto quietAfter = wakeupsByThread(self);
        std::string quietDetail;
        const long betweenTicks = wakeupsBetween(quietBefore, quietAfter, &quietDetail);

        std::this_thread::sleep_until(started + run);
        const auto end = wakeupsByThread(self);
        const auto idle = Memory::now();
        const long overRun = wakeupsBetween(quietBefore, end);
        firstUpload();
        const auto uploaded = Memory::now();

        state.counters["wakeups_between_ticks"] = static_cast<double>(betweenTicks);
        state.counters["ticks"] = static_cast<double>(ticks);
        state.counters["wakeups_per_tick"] = ticks > 0 ? static_cast<double>(overRun) / ticks : 0;
        state.counters["wakeups_per_minute"] =
            static_cast<double>(overRun) * 60.0 / std::chrono::duration<double>(run - 500ms).count();
        state.counters["rss_before_KiB"] = static_cast<double>(before.residentKiB);
        state.counters["rss_added_KiB"] = static_cast<double>(idle.residentKiB - before.residentKiB);
        state.counters["rss_upload_KiB"] = static_cast<double>(uploaded.residentKiB - before.residentKiB);
        state.counters["dirty_added_KiB"] =
            static_cast<double>(idle.privateDirtyKiB - before.privateDirtyKiB);
        state.counters["dirty_upload_KiB"] =
            static_cast<double>(uploaded.privateDirtyKiB - before.privateDirtyKiB);
        state.counters["threads"] = static_cast<double>(end.size());
        if (betweenTicks != 0) {
            std::fprintf(stderr, "woke between ticks:%s\n", quietDetail.c_str());
        }
        loop->stop();
        host.join();
    }
    std::error_code ec;
    fs::remove_all(root, ec);
}

BENCHMARK(BM_IdleStartedLibrary)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
