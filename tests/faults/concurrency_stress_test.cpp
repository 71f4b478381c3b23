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
#include <sys/resource.h>
#include <sys/wait.h>
#include <csignal>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
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

/// What one soak host wrote in its ledger, and how it ended.
struct HostLedger {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    bool killed = false;
    std::set<std::uint64_t> handedOver;
    std::optional<std::uint64_t> storedThrough;  // every fix up to it stored, sent or given up
    std::size_t givenUp = 0;                     // fixes that its log lines give up
    std::vector<std::string> forks;              // each fork's outcome
    bool ended = false;
    std::string text;                 // the ledger as written
    std::vector<std::string> faults;  // what the schedule did to it, for a failing seed

    void read(const std::string& output) {
        text = output;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() < 1) {
                continue;
            }
            const auto rest = line.size() > 2 ? line.substr(2) : std::string();
            switch (line[0]) {
                case 'h':
                    handedOver.insert(std::strtoull(rest.c_str(), nullptr, 10));
                    break;
                case 'w':
                    storedThrough = std::strtoull(rest.c_str(), nullptr, 10);
                    break;
                case 'l': {
                    const auto many = rest.find(" fixes handed over were not stored in time");
                    if (many == std::string::npos) {
                        ++givenUp;
                    } else {
                        // The count is the number just before the words.
                        auto digits = rest.find_last_not_of("0123456789", many - 1);
                        givenUp += std::strtoull(rest.c_str() + digits + 1, nullptr, 10);
                    }
                    break;
                }
                case 'f':
                    forks.push_back(rest);
                    break;
                case 'x':
                    ended = true;
                    break;
                default:
                    break;
            }
        }
    }
};

/// Whether process `pid` blocks `signal`, which a soak host does once it can take it.
bool blocksSignal(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigBlk:", 0) == 0) {
            const auto mask = std::strtoull(line.c_str() + 7, nullptr, 16);
            return (mask >> (signal - 1)) & 1;
        }
    }
    return false;
}

// A seeded soak: host processes of one application store and upload through a proxy that
// fails some uploads in every way a collector or its network can, while a schedule stops
// and kills them at random points (holding whatever lock they hold), makes them fork while
// they upload, fills their disk, steps their calendar clock, and holds the trace file's or
// the upload's lock from outside. Each host keeps a ledger of what it handed over; at the
// end every fix handed over is on the collector once, still stored, given up by a log line
// of its host, or was handed to a host killed before the library had stored it. None is
// lost or sent twice. LUMVEX_STRESS_SECONDS makes it longer; LUMVEX_SOAK_SEED repeats a
// schedule (the moments at which faults land still depend on the machine's pace).
TEST(SharedStore, ASeededSoakOfHostAndServerFaultsLosesNoFixAndSendsNoneTwice) {
    const char* seedText = std::getenv("LUMVEX_SOAK_SEED");
    const std::uint64_t seed = seedText ? std::strtoull(seedText, nullptr, 10) : std::random_device()();
    std::printf("soak seed %llu (LUMVEX_SOAK_SEED=%llu repeats it)\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    test::IsolatedHome home;
    home.writeInfoPlist(
        "<key>CFBundleIdentifier</key><string>com.example.host</string>"
        "<key>lumvex_api_key</key><string>key</string>");
    Collector collector;
    using Answer = test::FaultingProxy::Answer;
    std::mt19937_64 answers(seed ^ 0x5eedULL);
    test::FaultingProxy proxy(collector, [&answers] {
        const auto pick = answers() % 100;
        return pick < 62   ? Answer::passedOn
               : pick < 70 ? Answer::clientError
               : pick < 80 ? Answer::serverError
               : pick < 90 ? Answer::nothing
                           : Answer::cutOff;
    });
    const auto budget = test::stressBudget(std::chrono::seconds(50));
    const auto end = std::chrono::steady_clock::now() + budget;
    constexpr std::uint64_t kPerHost = 20;
    constexpr int kHosts = 3;
    std::vector<HostLedger> ledgers;
    std::map<std::string, int> faults;
    std::uint64_t generation = 0;
    std::mt19937_64 schedule(seed);
    enum Kind { STOP, BACKUP_LOCK, UPLOAD_LOCK, KILL, FORK, FULL_DISK, CLOCK_STEP };
    const char* const kindNames[] = {"stop", "trace lock", "upload lock", "kill",
                                     "fork", "full disk",  "clock step"};
    // The weight of each kind in the schedule, in the order above.
    const std::vector<int> weights = {3, 2, 2, 1, 3, 2, 2};
    std::discrete_distribution<int> kinds(weights.begin(), weights.end());
    while (std::chrono::steady_clock::now() < end) {
        std::vector<std::unique_ptr<test::ChildProcess>> hosts;
        std::vector<pid_t> pids;
        for (int h = 0; h < kHosts; ++h) {
            const std::uint64_t first = 1 + (generation * kHosts + h) * kPerHost;
            hosts.push_back(std::make_unique<test::ChildProcess>(
                std::vector<std::string>{LUMVEX_HOST, home.bundleDir(), "soak", proxy.baseUrl(),
                                         std::to_string(first), std::to_string(kPerHost)},
                false, true));
            ASSERT_TRUE(hosts.back()->started());
            pids.push_back(hosts.back()->pid());
            ledgers.emplace_back();
            ledgers.back().first = first;
            ledgers.back().count = kPerHost;
        }
        // Draws for this generation are made here, so that a seed gives the same schedule.
        struct Fault {
            int kind;
            int target;
            std::chrono::milliseconds after;
            std::chrono::milliseconds length;
            int value;
        };
        std::vector<Fault> plan;
        for (int n = 0; n < 6; ++n) {
            Fault fault{kinds(schedule), static_cast<int>(schedule() % kHosts),
                        std::chrono::milliseconds(50 + schedule() % 400),
                        std::chrono::milliseconds(100 + schedule() % 1400), 0};
            const auto draw = schedule();
            if (fault.kind == FORK) {
                fault.value = static_cast<int>(draw % 500);  // the child's life in milliseconds
            } else if (fault.kind == CLOCK_STEP) {
                // Up to three hours either way: a record is given up after a day, and across
                // a restart the calendar is all there is to tell its age by.
                fault.value = static_cast<int>(1 + draw % (3 * 3600)) * (draw % 2 ? 1 : -1);
            } else if (fault.kind == FULL_DISK) {
                fault.value = static_cast<int>(draw % 300);  // bytes a file may hold: a few lines
            }
            plan.push_back(fault);
        }
        std::atomic<bool> done{false};
        std::vector<bool> killed(kHosts, false);
        std::thread injector([&] {
            for (const auto& fault : plan) {
                std::this_thread::sleep_for(fault.after);  // the schedule's pace, not a wait for an event
                if (done) {
                    return;
                }
                const pid_t pid = pids[fault.target];
                if (killed[fault.target] && fault.kind != BACKUP_LOCK && fault.kind != UPLOAD_LOCK) {
                    continue;
                }
                ledgers[ledgers.size() - kHosts + static_cast<std::size_t>(fault.target)].faults.push_back(
                    std::string(kindNames[fault.kind]) + " value " + std::to_string(fault.value) + " for " +
                    std::to_string(fault.length.count()) + " ms");
                switch (fault.kind) {
                    case STOP:
                        // Stopped wherever it is, with whatever lock it holds; below the others' lock wait.
                        ::kill(pid, SIGSTOP);
                        std::this_thread::sleep_for(fault.length);
                        ::kill(pid, SIGCONT);
                        ++faults["SIGSTOP"];
                        break;
                    case BACKUP_LOCK:
                    case UPLOAD_LOCK: {
                        const char* name = fault.kind == BACKUP_LOCK ? "/backup.lock" : "/upload.lock";
                        auto held = platform::FileLock::lock(home.cachesDir() + name);
                        std::this_thread::sleep_for(fault.length);
                        faults[std::string(name + 1) + " held"] += held ? 1 : 0;
                        break;
                    }
                    case KILL:
                        ::kill(pid, SIGKILL);
                        killed[fault.target] = true;
                        ++faults["SIGKILL"];
                        break;
                    case FORK:
                    case CLOCK_STEP: {
                        // Not before the host takes the signal, which would end it.
                        const int signal = fault.kind == FORK ? SIGRTMIN : SIGRTMIN + 1;
                        if (blocksSignal(pid, signal)) {
                            union sigval value;
                            value.sival_int = fault.value;
                            ::sigqueue(pid, signal, value);
                            ++faults[fault.kind == FORK ? "fork" : "clock step"];
                        }
                        break;
                    }
                    case FULL_DISK: {
                        // The disk fills up for this host: writes beyond the limit fail with EFBIG.
                        rlimit full{static_cast<rlim_t>(fault.value), RLIM_INFINITY};
                        if (::prlimit(pid, RLIMIT_FSIZE, &full, nullptr) == 0) {
                            std::this_thread::sleep_for(fault.length);
                            rlimit freed{RLIM_INFINITY, RLIM_INFINITY};
                            ::prlimit(pid, RLIMIT_FSIZE, &freed, nullptr);
                            ++faults["full disk"];
                        }
                        break;
                    }
                }
            }
        });
        std::vector<int> statuses;
        for (auto& host : hosts) {
            statuses.push_back(host->wait(std::chrono::seconds(110)));
        }
        done = true;
        injector.join();
        for (int h = 0; h < kHosts; ++h) {
            auto& ledger = ledgers[ledgers.size() - kHosts + static_cast<std::size_t>(h)];
            ledger.killed = killed[static_cast<std::size_t>(h)];
            ledger.read(hosts[static_cast<std::size_t>(h)]->output());
            const int status = statuses[static_cast<std::size_t>(h)];
            if (ledger.killed && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
                continue;
            }
            // A host killed after it ended ran to its end.
            ledger.killed = false;
            EXPECT_EQ(status, 0) << "seed " << seed;
            EXPECT_TRUE(ledger.ended) << "seed " << seed;
        }
        ++generation;
    }
    // What a host of the application does when it starts next: whatever is recorded or
    // stored goes out, through a collector that answers.
    test::ChildProcess last({LUMVEX_HOST, home.bundleDir(), "soak", collector.baseUrl(), "1", "0"}, false,
                            true);
    EXPECT_EQ(last.wait(std::chrono::seconds(90)), 0) << "seed " << seed;

    std::multiset<std::string> onServer;
    for (const auto& upload : collector.uploads()) {
        for (const auto& location : upload.at("body").at("locations")) {
            onServer.insert(location.at("lat").get<std::string>());
        }
    }
    const auto all = deliveredAndKept(collector, home);
    std::size_t handedOver = 0, delivered = 0, kept = 0, givenUp = 0, unstoredAtKill = 0, lost = 0,
                duplicated = 0, handedAtKill = 0, inheritedLocks = 0;
    std::string problems;
    std::set<std::string> ours;
    for (auto& ledger : ledgers) {
        auto giveUps = ledger.givenUp;
        const auto lostBefore = lost;
        for (std::uint64_t n = ledger.first; n < ledger.first + ledger.count; ++n) {
            const auto lat = TraceCodec::formatCoordinate(static_cast<double>(n));
            ours.insert(lat);
            const auto sent = onServer.count(lat);
            const auto seen = all.count(lat);
            const bool handed = ledger.handedOver.count(n) > 0;
            if (seen == 0 && !handed) {
                continue;  // its host was killed before it was handed over
            }
            ++handedOver;
            handedAtKill += handed ? 0 : 1;  // addTrace had it when the host was killed
            if (seen > 1) {
                ++duplicated;
                problems += "fix " + lat + " seen " + std::to_string(seen) + " times\n";
            } else if (seen == 1) {
                ++(sent == 1 ? delivered : kept);
            } else if (ledger.killed && (!ledger.storedThrough || n > *ledger.storedThrough)) {
                ++unstoredAtKill;
            } else if (giveUps > 0) {
                --giveUps;
                ++givenUp;
            } else {
                ++lost;
                problems += "fix " + lat + " lost\n";
            }
        }
        if (lost > lostBefore) {
            std::string faultsText;
            for (const auto& fault : ledger.faults) {
                faultsText += " [" + fault + "]";
            }
            std::printf("host of fixes %llu to %llu%s, faults:%s; its ledger:\n%s\n",
                        static_cast<unsigned long long>(ledger.first),
                        static_cast<unsigned long long>(ledger.first + ledger.count - 1),
                        ledger.killed ? ", killed" : "", faultsText.c_str(), ledger.text.c_str());
        }
        for (const auto& fork : ledger.forks) {
            ++faults["fork: " + fork];
            inheritedLocks += fork.rfind("shared-lock", 0) == 0 ? 1 : 0;
        }
    }
    for (const auto& lat : all) {
        if (ours.count(lat) == 0) {
            problems += "fix " + lat + " handed over by no host\n";
        }
    }
    for (const auto& [answer, count] : proxy.answers()) {
        faults["answer " + answer] += count;
    }
    EXPECT_EQ(problems, "") << "seed " << seed;
    EXPECT_EQ(lost, 0u) << "seed " << seed;
    EXPECT_EQ(duplicated, 0u) << "seed " << seed;
    EXPECT_EQ(inheritedLocks, 0u) << "a forked child shared its parent's lock file; seed " << seed;
    std::string kindsText;
    for (const auto& [kind, count] : faults) {
        kindsText += "\n  " + kind + ": " + std::to_string(count);
    }
    std::printf(
        "soak seed %llu: %llu hosts in %.0f s, faults:%s\n"
        "%zu fixes handed over: %zu delivered once, %zu kept, %zu given up with a log line, %zu handed "
        "over to a host killed before the library stored them, %zu lost, %zu duplicated (%zu of them handed "
        "over as the host was killed)\n",
        static_cast<unsigned long long>(seed), static_cast<unsigned long long>(generation * kHosts),
        std::chrono::duration<double>(budget).count(), kindsText.c_str(), handedOver, delivered, kept,
        givenUp, unstoredAtKill, lost, duplicated, handedAtKill);
}

}  // namespace
}  // namespace lumvex
