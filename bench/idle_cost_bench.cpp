// What a started library costs a host that does nothing: the threads' wakeups (voluntary
// context switches of every thread of the process but the measuring one, from
// /proc/self/task/*/status) between two sampling ticks and per tick, and the memory before the
// first call into the library, after start and the first ticks, and after the first upload
// (which sets up the HTTP layer): resident (VmRSS, shared code included), anonymous and
// private dirty (/proc/self/smaps_rollup).
//
// The library runs with the default configuration on a host thread that runs its run loop,
// on the system clock: the idle run lasts LUMVEX_IDLE_SECONDS (default 21, two ticks; 60 or
// more for a per-minute figure). LUMVEX_BENCH_SOURCE chooses where positions come from:
// "gpsd" (a local gpsd whose receiver holds a fix) or "geoclue" (a real GeoClue on a private
// bus, fed NMEA; needs root), both from the tests' harness. Unset, positions come from gpsd
// at its default address, if one runs there; otherwise each tick's request fails at once,
// which is cheaper. The harness's own threads (gpsd's log reader, the NMEA feeder) are not
// counted, and neither are the daemons, which run in processes of their own.

#include <LumvexSdk/LumvexSdk.h>

#include "engine/LumvexEngine.h"
#include "platform/location/GeoClue.h"
#include "upload/PushRequest.h"

#include "Failures.h"
#include "GeoClue.h"
#include "Gpsd.h"
#include "UploadTestAccess.h"

#include <benchmark/benchmark.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <initializer_list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

/// Voluntary context switches per thread id, all threads but `except` and the harness's
/// (named "harness-...").
std::map<long, long> wakeupsByThread(long except) {
    std::map<long, long> out;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
        const long tid = std::strtol(entry.path().filename().c_str(), nullptr, 10);
        std::string name;
        std::getline(std::ifstream(entry.path() / "comm"), name);
        if (tid == except || name.rfind("harness-", 0) == 0) {
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

/// The sum of the fields of `file` whose lines start with one of `keys`, in KiB.
long kib(const char* file, std::initializer_list<const char*> keys) {
    std::ifstream status(file);
    std::string line;
    long total = 0;
    while (std::getline(status, line)) {
        for (const char* key : keys) {
            if (line.rfind(key, 0) == 0) {
                total += std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
            }
        }
    }
    return total;
}

long residentKiB() {
    return kib("/proc/self/status", {"VmRSS:"});
}

/// The process's private memory: heap, stacks and other anonymous pages. It is counted as
/// anonymous rather than as Private_*, which the harness's supervisors (forked copies of this
/// process that share its pages) would make look smaller.
long privateKiB() {
    return kib("/proc/self/smaps_rollup", {"Anonymous:"});
}

/// Pages that this process alone wrote, anonymous or file-backed (relocated data of the
/// libraries it loaded), as the kernel counts them now.
long privateDirtyKiB() {
    return kib("/proc/self/smaps_rollup", {"Private_Dirty:"});
}

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

/// The location source that LUMVEX_BENCH_SOURCE asks for, set up before the library starts.
struct Source {
    std::unique_ptr<lumvex::test::FakeReceiver> receiver;
    std::unique_ptr<lumvex::test::Gpsd> gpsd;
    std::unique_ptr<lumvex::test::GeoClueService> geoClue;

    std::string setUp() {
        const char* name = std::getenv("LUMVEX_BENCH_SOURCE");
        const auto epochs = lumvex::test::readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/walk.nmea");
        if (name && std::string(name) == "gpsd") {
            receiver = std::make_unique<lumvex::test::FakeReceiver>();
            gpsd = std::make_unique<lumvex::test::Gpsd>(std::vector<std::string>{receiver->devicePath()});
            const auto [lat, lon] = lumvex::test::positionOf(epochs.at(0));
            if (!gpsd->start() || !gpsd->feedFix(*receiver, epochs.at(0), lat, lon)) {
                return "gpsd did not come up: " + gpsd->log();
            }
            lumvex::platform::useGpsd(gpsd->host(), gpsd->port());
        } else if (name && std::string(name) == "geoclue") {
            // A long track: every request takes the next epoch.
            std::vector<std::string> track;
            for (int i = 0; i < 50; ++i) {
                track.insert(track.end(), epochs.begin(), epochs.end());
            }
            geoClue = std::make_unique<lumvex::test::GeoClueService>(track);
            if (auto why = geoClue->start(); !why.empty()) {
                return why;
            }
            lumvex::platform::setGeoClueBusAddress(geoClue->busAddress());
            lumvex::platform::useGeoClue(lumvex::test::GeoClueService::ALLOWED_ID);
        }
        return "";
    }
};

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
        lumvex::bench::failBeforeLoop(state, "BM_IdleStartedLibrary", "mkdtemp failed");
        return;
    }
    fs::create_directories(root + "/bundle");
    std::ofstream(root + "/bundle/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>lumvex_api_key</key><string>key</string></dict></plist>\n";
    ::setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
    lumvex::platform::setMainBundleDirectory(root + "/bundle");
    // The daily upload does not come within the run; if it did, it would go nowhere.
    lumvex::PushRequestTestAccess::setDefaultEndpoint("http://127.0.0.1:1/");

    Source source;
    if (auto why = source.setUp(); !why.empty()) {
        lumvex::bench::failBeforeLoop(state, "BM_IdleStartedLibrary", why);
        return;
    }
    const auto tick = std::chrono::seconds(lumvex::LumvexEngine::TRACE_INTERVAL_SECONDS);
    for (auto _ : state) {
        const long rssBefore = residentKiB();
        const long privateBefore = privateKiB();
        const long dirtyBefore = privateDirtyKiB();
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

        // The ticks after the first, which makes the trace file and stores the fix that the
        // later ones receive again: what a host pays for each tick once the library has settled.
        std::map<long, long> settled;
        if (ticks >= 2) {
            std::this_thread::sleep_until(started + 2 * tick - 500ms);
            settled = wakeupsByThread(self);
        }

        std::this_thread::sleep_until(started + run);
        const auto end = wakeupsByThread(self);
        const long rssAfter = residentKiB();
        const long privateAfter = privateKiB();
        const long dirtyAfter = privateDirtyKiB();
        firstUpload();
        const long rssUploaded = residentKiB();
        const long dirtyUploaded = privateDirtyKiB();
        const long overRun = wakeupsBetween(quietBefore, end);

        state.counters["wakeups_between_ticks"] = static_cast<double>(betweenTicks);
        state.counters["ticks"] = static_cast<double>(ticks);
        state.counters["wakeups_per_tick"] = ticks > 0 ? static_cast<double>(overRun) / ticks : 0;
        if (ticks >= 2) {
            state.counters["wakeups_per_later_tick"] =
                static_cast<double>(wakeupsBetween(settled, end)) / static_cast<double>(ticks - 1);
        }
        state.counters["wakeups_per_minute"] =
            static_cast<double>(overRun) * 60.0 / std::chrono::duration<double>(run - 500ms).count();
        state.counters["rss_before_KiB"] = static_cast<double>(rssBefore);
        state.counters["rss_after_KiB"] = static_cast<double>(rssAfter);
        state.counters["rss_added_KiB"] = static_cast<double>(rssAfter - rssBefore);
        state.counters["private_added_KiB"] = static_cast<double>(privateAfter - privateBefore);
        state.counters["dirty_added_KiB"] = static_cast<double>(dirtyAfter - dirtyBefore);
        state.counters["rss_upload_KiB"] = static_cast<double>(rssUploaded - rssBefore);
        state.counters["dirty_upload_KiB"] = static_cast<double>(dirtyUploaded - dirtyBefore);
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

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return lumvex::bench::exitStatus(argv[0]);
}
