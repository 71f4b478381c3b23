// What a host thread pays to call into the library: `addTrace` and `forcePush` on the shared
// instance, against pushing the same work item onto a bare queue made of a mutex, a
// condition variable and a consumer thread. Both library calls only hand work to the
// library's queue; the work itself runs on its worker and is not timed. Prints the ratios.

#include <LumvexSdk/LumvexSdk.h>

#include "store/TraceRepository.h"
#include "upload/PushRequest.h"

#include <benchmark/benchmark.h>

#include "RatioReporter.h"
#include "TempRoot.h"
#include "UploadTestAccess.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace {

using lumvex::bench::TempRoot;

// Work that each timed call hands over; the library's queue then runs it. Bounded so that the
// backlog of stored fixes (each one a file append on the worker) drains in a second or so
// after the run.
constexpr benchmark::IterationCount CALLS = 10000;

class Sandbox {
public:
    Sandbox() {
        root_ = temp_.path();
        std::filesystem::create_directories(root_ + "/bundle");
        std::ofstream(root_ + "/bundle/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>lumvex_api_key</key><string>key</string></dict></plist>\n";
        ::setenv("XDG_CACHE_HOME", (root_ + "/cache").c_str(), 1);
        lumvex::platform::setMainBundleDirectory(root_ + "/bundle");
    }

private:
    // On tmpfs where there is one: the worker's appends then cost no disk flushes, so the
    // backlog drains quickly. The host's side of the call does not touch the file.
    TempRoot temp_{std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                             : std::filesystem::temp_directory_path()};
    std::string root_;
};

Sandbox& sandbox() {
    static Sandbox instance;
    return instance;
}

/// Waits until the library's queue has run everything handed to it so far: a forced upload
/// after a fix of its own always has something to send, so it is answered, and only after
/// what was queued before it. Its endpoint refuses at once.
void drainLibrary() {
    lumvex::PushRequestTestAccess::setDefaultEndpoint("http://127.0.0.1:1/");
    auto& lumvex = lumvex::Lumvex::shared();
    const bool wasStarted = lumvex.isStarted();
    if (!wasStarted && lumvex.start(lumvex::LumvexConfiguration::Builder().build())) {
        std::fprintf(stderr, "the library did not start\n");
        std::exit(1);
    }
    std::mutex mutex;
    std::condition_variable cv;
    bool answered = false;
    lumvex.addTrace(lumvex::Location{1.0, 1.0});
    lumvex.forcePush([&](std::optional<lumvex::LumvexException>) {
        std::lock_guard<std::mutex> guard(mutex);
        answered = true;
        cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return answered; })) {
        std::fprintf(stderr, "the library's queue did not drain\n");
        std::exit(1);
    }
    if (!wasStarted) {
        lumvex.stop();
    }
}

/// The baseline: the least a thread-safe hand-over to another thread costs.
class BareQueue {
public:
    BareQueue() : worker_([this] { run(); }) {}
    ~BareQueue() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            closing_ = true;
            cv_.notify_all();
        }
        worker_.join();
    }
    void push(std::function<void()> work) {
        std::lock_guard<std::mutex> guard(mutex_);
        items_.push_back(std::move(work));
        cv_.notify_all();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            cv_.wait(lock, [this] { return closing_ || !items_.empty(); });
            if (items_.empty()) {
                return;
            }
            auto item = std::move(items_.front());
            items_.pop_front();
            lock.unlock();
            item();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> items_;
    bool closing_ = false;
    std::thread worker_;
};

/// Repetitions, reported as their median and their minimum; the ratios use the minimum, the
/// run least disturbed by the other work on the machine, since disturbance only adds time.
void repeated(benchmark::internal::Benchmark* benchmark) {
    benchmark->Iterations(CALLS)->Repetitions(9)->ReportAggregatesOnly()->ComputeStatistics(
        "min",
        [](const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); });
}

// The baselines hand over the same items as the library's calls, and their worker does the
// same work with them, so that both queues grow alike while the host keeps calling.
void BM_BaselineQueuePush(benchmark::State& state) {
    sandbox();
    drainLibrary();
    BareQueue queue;
    int i = 0;
    for (auto _ : state) {
        const lumvex::Location location{48.85 + (i++ % 100) * 1e-4, 2.29};
        queue.push([location] { lumvex::TraceRepository::shared().addTrace(location); });
    }
}
BENCHMARK(BM_BaselineQueuePush)->Apply(repeated);

void BM_BaselineQueuePushCallback(benchmark::State& state) {
    BareQueue queue;
    for (auto _ : state) {
        lumvex::PushCallback callback = [](std::optional<lumvex::LumvexException>) {};
        queue.push([callback = std::move(callback)] { benchmark::DoNotOptimize(callback); });
    }
}
BENCHMARK(BM_BaselineQueuePushCallback)->Apply(repeated);

void BM_AddTrace(benchmark::State& state) {
    sandbox();
    drainLibrary();  // what an earlier run left on the queue is not this one's
    auto& lumvex = lumvex::Lumvex::shared();
    int i = 0;
    for (auto _ : state) {
        lumvex.addTrace(lumvex::Location{48.85 + (i++ % 100) * 1e-4, 2.29});
    }
}
BENCHMARK(BM_AddTrace)->Apply(repeated);

// Stopped, each queued push finds the library not started and ends there, so the worker
// keeps up; the host's side of the call is the same started or not.
void BM_ForcePush(benchmark::State& state) {
    sandbox();
    drainLibrary();  // what an earlier run left on the queue is not this one's
    auto& lumvex = lumvex::Lumvex::shared();
    for (auto _ : state) {
        lumvex.forcePush([](std::optional<lumvex::LumvexException>) {});
    }
}
BENCHMARK(BM_ForcePush)->Apply(repeated);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    lumvex::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // The fastest repetition of each: disturbance from the machine only adds time.
    for (const auto& [name, baseline] :
         {std::pair<std::string, std::string>{"BM_AddTrace", "BM_BaselineQueuePush"},
          {"BM_ForcePush", "BM_BaselineQueuePushCallback"}}) {
        lumvex::bench::RatioReporter::printRatio(name, reporter.leastNs(name), baseline,
                                                 reporter.leastNs(baseline));
    }
    drainLibrary();
    benchmark::Shutdown();
    return 0;
}
