// Host threads call every public operation at random (starting, stopping and restarting
// with other configurations among them) while gpsd delivers positions, a virtual clock makes
// the periodic jobs tick and uploads complete on the session's thread. Meant to run under the
// thread sanitizer: it must stay silent, nothing may deadlock, no callback may come twice, no
// fix may reach the server twice, and no fix handed over by the host may go missing except
// by the file's own size bound.

#include <LumvexSdk/LumvexSdk.h>

#include "platform/base/Clock.h"
#include "platform/base/L.h"
#include "platform/base/RunLoop.h"
#include "platform/system/FileLock.h"
#include "store/TraceRepository.h"
#include "upload/PushRequest.h"

#include "Gpsd.h"
#include "Stores.h"
#include "TaskEnvironment.h"
#include "TestSupport.h"
#include "UploadFixture.h"
#include "UploadTestAccess.h"

#include <gtest/gtest.h>
#include <csignal>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace lumvex {
namespace {

using namespace std::chrono_literals;
using lumvex::test::storedRecords;
using test::Collector;

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

/// Counts the calls of one forced upload's callback.
struct CallbackCount {
    std::atomic<int> calls{0};
    PushCallback callback() {
        return [this](std::optional<LumvexException>) { calls.fetch_add(1); };
    }
};

class ConcurrencyStressTest : public test::UploadFixture {
protected:
    void SetUp() override {
        UploadFixture::SetUp();
        L::writeLog = false;
        env_.emplace();
        // Written once: the host threads build their configurations from it concurrently.
        configuration(PushFormat::LOCATION_AND_DEVICE_INFO, PushRegion::EU, "stress-key");
    }
    void TearDown() override {
        Lumvex::shared().stop();
        env_->runPending();
        PushRequestTestAccess::setDefaultEndpoint(std::nullopt);
        env_.reset();
        UploadFixture::TearDown();
    }

    /// Hands over a fix with a latitude of its own and notes it. The lock keeps the order in
    /// which fixes reach the library's queue the order of their numbers.
    void addNumberedFix() {
        std::lock_guard<std::mutex> guard(fixesMutex_);
        const int number = static_cast<int>(fixes_.size());
        const Location fix{-(number + 1) * 1e-4, 170.5};
        fixes_.push_back(TraceCodec::formatCoordinate(fix.latitude));
        Lumvex::shared().addTrace(fix);
    }

    static std::shared_ptr<const LumvexConfiguration> randomConfiguration(std::mt19937& random) {
        static const PushFormat formats[] = {PushFormat::LOCATION_AND_DEVICE_INFO, PushFormat::LOCATION_ONLY,
                                             PushFormat::DEVICE_INFO_ONLY};
        return LumvexConfiguration::Builder()
            .pushFormat(formats[random() % 3])
            .pushRegion(random() % 2 ? PushRegion::EU : PushRegion::US)
            .pushFrequency(random() % 2 ? 1 : 1440)
            .enableDebugLog(random() % 8 == 0)
            .build();
    }

    /// Checks that every numbered fix is on the server once or in the file, never both, and that
    /// any fix that is neither was stored before every fix still in the file: only the size
    /// bound, which drops the oldest line, may have removed it. Returns the failure, if any.
    std::string accountingProblem(const Collector& collector, std::size_t* missingOut = nullptr) {
        std::multiset<std::string> onServer;
        std::size_t sampled = 0;
        for (const auto& upload : collector.uploads()) {
            for (const auto& location : upload.at("body").at("locations")) {
                onServer.insert(location.at("lat").get<std::string>());
                sampled += location.at("lng") != "170.5";
            }
        }
        std::multiset<std::string> inFile;
        for (const auto& record : storedRecords()) {
            inFile.insert(record.at("lat"));
            sampled += record.at("lng") != "170.5";
        }
        sampledOnServer_ = sampled;
        std::lock_guard<std::mutex> guard(fixesMutex_);
        long newestMissing = -1;
        long oldestKept = -1;
        std::size_t missing = 0;
        for (std::size_t n = 0; n < fixes_.size(); ++n) {
            const auto servedCount = onServer.count(fixes_[n]);
            const bool served = servedCount > 0;
            const auto kept = inFile.count(fixes_[n]);
            if (servedCount > 1) {
                return "fix " + fixes_[n] + " reached the server twice";
            }
            if (served && kept > 0) {
                return "fix " + fixes_[n] + " is both on the server and in the file";
            }
            if (kept > 1) {
                return "fix " + fixes_[n] + " is in the file twice";
            }
            if (kept == 1 && oldestKept < 0) {
                oldestKept = static_cast<long>(n);
            }
            if (!served && kept == 0) {
                newestMissing = static_cast<long>(n);
                ++missing;
            }
        }
        if (oldestKept >= 0 && newestMissing > oldestKept) {
            return "fix " + fixes_[static_cast<std::size_t>(newestMissing)] +
                   " is gone although an older one is still in the file";
        }
        if (missingOut) {
            *missingOut = missing;
        }
        return "";
    }

    std::optional<test::TaskEnvironment> env_;
    std::mutex fixesMutex_;
    std::vector<std::string> fixes_;   // the latitude of fix n, as stored
    std::size_t sampledOnServer_ = 0;  // positions from gpsd on the server or in the file
};

TEST_F(ConcurrencyStressTest, EveryOperationFromEveryThreadAtOnce) {
    Collector collector;
    PushRequestTestAccess::setDefaultEndpoint(collector.baseUrl());
    test::FakeReceiver receiver;
    test::Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    platform::useGpsd(gpsd.host(), gpsd.port());
    const auto walk = test::readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/walk.nmea");
    ASSERT_FALSE(walk.empty());

    const auto deadline = std::chrono::steady_clock::now() + test::stressBudget(2s);
    std::atomic<bool> over{false};
    std::mutex callbacksMutex;
    std::deque<CallbackCount> callbacks;  // a deque keeps the counters where they are
    std::atomic<int> operations{0};
    std::atomic<int> running{0};

    auto host = [&](unsigned seed) {
        std::mt19937 random(seed);
        while (!over.load()) {
            // Weighted so that the work queue keeps up (each upload costs a file read, a
            // body and a request, a fix at the file's size bound a flushed rewrite) and so
            // that a start usually lasts long enough for a sampling tick.
            const auto pick = random() % 1000;
            if (pick < 150) {
                addNumberedFix();
            } else if (pick < 170) {
                CallbackCount* count;
                {
                    std::lock_guard<std::mutex> guard(callbacksMutex);
                    count = &callbacks.emplace_back();
                }
                Lumvex::shared().forcePush(count->callback());
            } else if (pick < 175) {
                Lumvex::shared().applicationWillResignActive();
            } else if (pick < 275) {
                const auto refused = Lumvex::shared().start(randomConfiguration(random));
                EXPECT_TRUE(!refused || *refused == LumvexStartException::ALREADY_STARTED);
            } else if (pick < 280) {
                Lumvex::shared().stop();
            } else {
                (void)Lumvex::shared().isStarted();
            }
            // Timers and location deliveries of a start made on this thread run here.
            env_->runPending();
            operations.fetch_add(1);
            std::this_thread::sleep_for(1ms);  // a host's pace, not a wait for an event
        }
        env_->runPending();
        running.fetch_sub(1);
    };

    std::vector<std::thread> threads;
    constexpr int HOSTS = 4;
    running = HOSTS + 2;
    for (int i = 0; i < HOSTS; ++i) {
        threads.emplace_back(host, 1000u + static_cast<unsigned>(i));
    }
    // Time moves on: the sampling and upload timers tick, location requests time out.
    threads.emplace_back([&] {
        while (!over.load()) {
            // A sampling tick every 50 ms, and a request's deadline some 25 ms away,
            // which a local gpsd can meet.
            env_->clock().advance(2s);
            std::this_thread::sleep_for(10ms);
        }
        running.fetch_sub(1);
    });
    // The receiver keeps reporting, so requests to gpsd find fixes.
    threads.emplace_back([&] {
        for (std::size_t epoch = 0; !over.load(); ++epoch) {
            receiver.write(walk[epoch % walk.size()]);
            std::this_thread::sleep_for(20ms);
        }
        running.fetch_sub(1);
    });

    std::this_thread::sleep_until(deadline);  // the run's length, not a wait for an event
    over = true;
    if (!test::waitUntil([&] { return running.load() == 0; }, 60s)) {
        std::fprintf(stderr, "a host thread is still inside the library a minute after the run: deadlock\n");
        std::abort();
    }
    for (auto& thread : threads) {
        thread.join();
    }

    // Quiesce: a last start, then one forced upload after a last fix. Uploads take turns,
    // and one that waited for its turn may take the last fix along; this one then finds
    // nothing and is not answered. Either way the fix reaches the server.
    Lumvex::shared().stop();
    ASSERT_EQ(Lumvex::shared().start(configuration(PushFormat::LOCATION_ONLY, PushRegion::EU, "stress-key")),
              std::nullopt);
    addNumberedFix();
    const auto lastFix = fixes_.back();
    test::PushOutcome last;
    Lumvex::shared().forcePush(last.callback());
    auto delivered = [&] {
        for (const auto& upload : collector.uploads()) {
            for (const auto& location : upload.at("body").at("locations")) {
                if (location.at("lat") == lastFix) {
                    return true;
                }
            }
        }
        return false;
    };
    ASSERT_TRUE(test::waitUntil(delivered, 60s));
    Lumvex::shared().stop();
    ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }, 60s));
    EXPECT_EQ(last.error(), std::nullopt);

    // Uploads still in flight from the run complete on their own; until then a fix may be on
    // the server and not yet removed from the file.
    std::string problem;
    std::size_t missing = 0;
    EXPECT_TRUE(
        test::waitUntil([&] { return (problem = accountingProblem(collector, &missing)).empty(); }, 20s))
        << problem;
    std::size_t answered = 0;
    for (const auto& count : callbacks) {
        EXPECT_LE(count.calls.load(), 1) << "a forced upload was answered twice";
        answered += static_cast<std::size_t>(count.calls.load());
    }
    EXPECT_LE(last.calls(), 1);
    std::printf(
        "%d operations, %zu forced uploads (%zu answered), %zu uploads received, %zu fixes, "
        "%zu dropped by the size bound, %zu sampled positions kept, %zu requests to gpsd\n",
        operations.load(), callbacks.size(), answered, collector.uploads().size(), fixes_.size(), missing,
        sampledOnServer_, occurrences(gpsd.log(), "?POLL"));
}

/// The latitudes of every fix that `collector` kept, and of those still in the trace file.
std::multiset<std::string> deliveredAndKept(const Collector& collector, const test::IsolatedHome& home) {
    std::multiset<std::string> seen;
    for (const auto& upload : collector.uploads()) {
        for (const auto& location : upload.at("body").at("locations")) {
            seen.insert(location.at("lat").get<std::string>());
        }
    }
    const auto path = home.cachesDir() + "/backup.lmx";
    std::istringstream kept(test::fileExists(path) ? test::readFile(path) : std::string());
    for (std::string line; std::getline(kept, line);) {
        if (const auto record = TraceCodec::recordOfLine(line)) {
            seen.insert(record->at("lat"));
        }
    }
    return seen;
}

/// What `seen` lacks of `expected`, and what it holds more than once or unexpectedly.
std::string difference(const std::multiset<std::string>& seen, const std::multiset<std::string>& expected) {
    std::string text;
    for (const auto& lat : expected) {
        if (seen.count(lat) == 0) {
            text += "missing " + lat + "\n";
        }
    }
    for (auto it = seen.begin(); it != seen.end(); it = seen.upper_bound(*it)) {
        if (seen.count(*it) != expected.count(*it)) {
            text += *it + " seen " + std::to_string(seen.count(*it)) + " times\n";
        }
    }
    return text;
}

std::multiset<std::string> latitudes(std::uint64_t first, std::uint64_t count) {
    std::multiset<std::string> all;
    for (std::uint64_t n = first; n < first + count; ++n) {
        all.insert(TraceCodec::formatCoordinate(static_cast<double>(n)));
    }
    return all;
}

// Two processes of one application (same bundle identifier, so the same caches
// directory) append while a third uploads whenever the file changes; then two that both
// store and upload. Each fix reaches the server once, or is still stored. The writers
// append in rounds that stay below the file's size bound, which would otherwise drop fixes
// by design.
TEST(SharedStore, ProcessesSharingTheStoreLoseNoFixAndSendNoneTwice) {
    test::IsolatedHome home;
    home.writeInfoPlist(
        "<key>CFBundleIdentifier</key><string>com.example.host</string>"
        "<key>lumvex_api_key</key><string>key</string>");
    Collector collector;
    constexpr std::uint64_t kRounds = 20;
    constexpr std::uint64_t kPerWriter = 10;
    {
        test::ChildProcess uploader({LUMVEX_HOST, home.bundleDir(), "upload", collector.baseUrl()}, true);
        ASSERT_TRUE(uploader.started());
        for (std::uint64_t round = 0; round < kRounds; ++round) {
            const std::uint64_t first = 1 + round * 2 * kPerWriter;
            test::ChildProcess a(
                {LUMVEX_HOST, home.bundleDir(), "append", std::to_string(first), std::to_string(kPerWriter)});
            test::ChildProcess b({LUMVEX_HOST, home.bundleDir(), "append", std::to_string(first + kPerWriter),
                                  std::to_string(kPerWriter)});
            ASSERT_EQ(a.wait(), 0);
            ASSERT_EQ(b.wait(), 0);
            // The uploader empties the file before the next round begins; it looks at the
            // store once it watches it, so writers that finish before it is up are not
            // missed. Under a sanitizer beside other suites its start-up alone can take
            // several seconds: the deadline only bounds a failing run.
            ASSERT_TRUE(test::waitUntil(
                [&] {
                    const auto path = home.cachesDir() + "/backup.lmx";
                    return !test::fileExists(path) || test::readFile(path).empty();
                },
                std::chrono::seconds(60)))
                << "round " << round;
        }
        uploader.closeInput();
        ASSERT_EQ(uploader.wait(), 0);
    }
    const auto appended = latitudes(1, kRounds * 2 * kPerWriter);
    ASSERT_EQ(difference(deliveredAndKept(collector, home), appended), "");

    constexpr std::uint64_t kEach = 60;
    constexpr std::uint64_t kSecond = 100000;
    {
        test::ChildProcess a({LUMVEX_HOST, home.bundleDir(), "store-upload", collector.baseUrl(),
                              std::to_string(kSecond), std::to_string(kEach)});
        test::ChildProcess b({LUMVEX_HOST, home.bundleDir(), "store-upload", collector.baseUrl(),
                              std::to_string(2 * kSecond), std::to_string(kEach)});
        ASSERT_EQ(a.wait(), 0);
        ASSERT_EQ(b.wait(), 0);
    }
    auto all = appended;
    for (const auto& lat : latitudes(kSecond, kEach)) {
        all.insert(lat);
    }
    for (const auto& lat : latitudes(2 * kSecond, kEach)) {
        all.insert(lat);
    }
    EXPECT_EQ(difference(deliveredAndKept(collector, home), all), "");
    EXPECT_FALSE(test::fileExists(home.cachesDir() + "/pending.lmx"));
}

// A seeded soak: host processes of one application store and upload to the real collector
// in turns while a schedule stops them at random points (holding whatever lock they hold)
// and holds the trace file's or the upload's lock from outside. Every fix a host handed
// over is in the ledger; at the end each is on the server once or still stored.
// LUMVEX_STRESS_SECONDS makes it longer; LUMVEX_SOAK_SEED repeats a schedule.
TEST(SharedStore, ASeededSoakOfStopsAndHeldLocksLosesNoFixAndSendsNoneTwice) {
    const char* seedText = std::getenv("LUMVEX_SOAK_SEED");
    const std::uint64_t seed = seedText ? std::strtoull(seedText, nullptr, 10) : std::random_device()();
    std::printf("soak seed %llu (LUMVEX_SOAK_SEED=%llu repeats it)\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(seed));
    test::IsolatedHome home;
    home.writeInfoPlist(
        "<key>CFBundleIdentifier</key><string>com.example.host</string>"
        "<key>lumvex_api_key</key><string>key</string>");
    Collector collector;
    const auto budget = test::stressBudget(std::chrono::seconds(50));
    const auto end = std::chrono::steady_clock::now() + budget;
    constexpr std::uint64_t kPerHost = 20;
    constexpr int kHosts = 3;
    std::multiset<std::string> ledger;
    std::map<std::string, int> faults;
    std::uint64_t generation = 0;
    std::mt19937_64 schedule(seed);
    while (std::chrono::steady_clock::now() < end) {
        std::vector<std::unique_ptr<test::ChildProcess>> hosts;
        for (int h = 0; h < kHosts; ++h) {
            const std::uint64_t first = 1 + (generation * kHosts + h) * kPerHost;
            hosts.push_back(std::make_unique<test::ChildProcess>(
                std::vector<std::string>{LUMVEX_HOST, home.bundleDir(), "store-upload", collector.baseUrl(),
                                         std::to_string(first), std::to_string(kPerHost)}));
            ASSERT_TRUE(hosts.back()->started());
        }
        std::atomic<bool> done{false};
        std::vector<pid_t> pids;
        for (const auto& host : hosts) {
            pids.push_back(host->pid());
        }
        // Draws for this generation are made here, so that a seed gives the same schedule.
        struct Fault {
            int kind;
            int target;
            std::chrono::milliseconds after;
            std::chrono::milliseconds length;
        };
        std::vector<Fault> plan;
        for (int n = 0; n < 6; ++n) {
            plan.push_back({static_cast<int>(schedule() % 3), static_cast<int>(schedule() % kHosts),
                            std::chrono::milliseconds(50 + schedule() % 400),
                            std::chrono::milliseconds(100 + schedule() % 1400)});
        }
        std::thread injector([&] {
            for (const auto& fault : plan) {
                std::this_thread::sleep_for(fault.after);
                if (done) {
                    return;
                }
                if (fault.kind == 0) {
                    // Stopped wherever it is, with whatever lock it holds; below the others' lock wait.
                    ::kill(pids[fault.target], SIGSTOP);
                    std::this_thread::sleep_for(fault.length);
                    ::kill(pids[fault.target], SIGCONT);
                    ++faults["SIGSTOP"];
                } else {
                    const char* name = fault.kind == 1 ? "/backup.lock" : "/upload.lock";
                    auto held = platform::FileLock::lock(home.cachesDir() + name);
                    std::this_thread::sleep_for(fault.length);
                    faults[std::string(name + 1) + " held"] += held ? 1 : 0;
                }
            }
        });
        for (auto& host : hosts) {
            EXPECT_EQ(host->wait(std::chrono::seconds(110)), 0) << "seed " << seed;
        }
        done = true;
        injector.join();
        for (int h = 0; h < kHosts; ++h) {
            for (const auto& lat : latitudes(1 + (generation * kHosts + h) * kPerHost, kPerHost)) {
                ledger.insert(lat);
            }
        }
        ++generation;
    }
    const auto seen = deliveredAndKept(collector, home);
    EXPECT_EQ(difference(seen, ledger), "") << "seed " << seed;
    std::string kinds;
    for (const auto& [kind, count] : faults) {
        kinds += " " + kind + " " + std::to_string(count);
    }
    std::printf("soak seed %llu: %llu hosts, faults:%s; %zu fixes handed over, %zu on the server or stored\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(generation * kHosts),
                kinds.c_str(), ledger.size(), seen.size());
}

}  // namespace
}  // namespace lumvex
