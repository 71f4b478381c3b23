#include <LumvexSdk/LumvexSdk.h>
#include <LumvexSdk/Platform.h>

#include "Collector.h"
#include "EngineTestAccess.h"
#include "Stores.h"
#include "TestSupport.h"
#include "UploadFixture.h"
#include "UploadTestAccess.h"
#include "engine/LumvexEngine.h"
#include "platform/base/L.h"
#include "platform/net/UrlSession.h"
#include "store/TraceRepository.h"
#include "upload/PushRequest.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <set>
#include <thread>

using namespace lumvex;
using namespace std::chrono_literals;
using lumvex::test::storedRecords;

namespace {

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        L::writeLog = false;
        home.writeInfoPlist("<key>lumvex_api_key</key><string>key</string>");
    }
    void TearDown() override {
        engine.stop();
        L::writeLog = false;
    }

    std::shared_ptr<const LumvexConfiguration> config(std::int64_t frequency = 1440, bool log = true) {
        return LumvexConfiguration::Builder().pushFrequency(frequency).enableDebugLog(log).build();
    }
    std::shared_ptr<const LumvexConfiguration> configWithoutKey(std::int64_t frequency = 1440) {
        home.writeInfoPlist("<key>other</key><string>x</string>");
        auto c = LumvexConfiguration::Builder().pushFrequency(frequency).enableDebugLog(true).build();
        home.writeInfoPlist("<key>lumvex_api_key</key><string>key</string>");
        return c;
    }

    test::IsolatedHome home;
    LumvexEngine engine;
};

// A service's stop in one bounded step says what became of what was stored, as the
// collector saw it; the identity given in code names the store and the app version.
TEST_F(EngineTest, ShutdownUploadsWhatIsStoredAndSaysHowItWent) {
    platform::setApplicationIdentity("org.example.Tracker", "2.1.0");
    test::Collector collector;
    auto start = [&](const std::string& endpoint) {
        return engine.start(LumvexConfiguration::Builder().endpoint(endpoint).build());
    };
    ASSERT_EQ(start(collector.baseUrl()), std::nullopt);
    engine.addTrace({1.0, 1.5});
    EXPECT_EQ(engine.shutdown(20s), ShutdownOutcome::DELIVERED);
    EXPECT_FALSE(engine.isStarted());
    auto uploads = collector.uploads("key");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0]["body"]["locations"].size(), 1u);
    EXPECT_EQ(uploads[0]["body"]["devices_infos"]["app_version"], "2.1.0");
    const auto store = home.dir().file("cache") + "/org.example.Tracker";
    EXPECT_TRUE(test::fileExists(store + "/specs.lmx"));

    ASSERT_EQ(start(collector.baseUrl()), std::nullopt);
    EXPECT_EQ(engine.shutdown(20s), ShutdownOutcome::NOTHING_TO_SEND);

    test::RefusingPort down;
    ASSERT_EQ(start(down.baseUrl()), std::nullopt);
    engine.addTrace({2.0, 2.5});
    EXPECT_EQ(engine.shutdown(20s), ShutdownOutcome::KEPT);
    EXPECT_EQ(storedRecords().size(), 1u);
    EXPECT_EQ(collector.uploads("key").size(), 1u);
}

TEST_F(EngineTest, StartChecksRunInOrderAndRefusalsChangeNothing) {
    L::writeLog = true;
    EXPECT_EQ(engine.start(nullptr), LumvexStartException::ERROR);
    EXPECT_EQ(engine.start(configWithoutKey(0)), LumvexStartException::INVALID_EMPTY_API_KEY);
    for (auto bad : {std::int64_t{0}, std::int64_t{-5}, std::numeric_limits<std::int64_t>::max() / 60 + 1,
                     std::numeric_limits<std::int64_t>::min()}) {
        EXPECT_EQ(engine.start(config(bad, false)), LumvexStartException::ERROR) << bad;
    }
    // The endpoint must be a base that a path can be appended to.
    for (const char* bad :
         {"", "127.0.0.1:8710/", "/relative/", "ftp://example.com/", "http://example.com", "http:///",
          "http://example.com/?a=/", "http://example.com/#/", "https://exa mple.com/", "file:///tmp/"}) {
        auto c = LumvexConfiguration::Builder().endpoint(bad).enableDebugLog(false).build();
        EXPECT_EQ(engine.start(c), LumvexStartException::ERROR) << bad;
    }
    EXPECT_FALSE(engine.isStarted());
    EXPECT_TRUE(L::writeLog) << "a refused start must leave the log switch alone";
    EXPECT_EQ(LumvexEngineTestAccess::pushJob(engine), nullptr);

    EXPECT_EQ(engine.start(config(std::numeric_limits<std::int64_t>::max() / 60, false)), std::nullopt);
    EXPECT_TRUE(engine.isStarted());
    EXPECT_FALSE(L::writeLog);
    // Already started is checked first, even for a configuration that is bad otherwise.
    EXPECT_EQ(engine.start(configWithoutKey()), LumvexStartException::ALREADY_STARTED);
    EXPECT_EQ(engine.start(nullptr), LumvexStartException::ALREADY_STARTED);
    EXPECT_EQ(engine.start(config(1, true)), LumvexStartException::ALREADY_STARTED);
    EXPECT_TRUE(engine.isStarted());
    EXPECT_FALSE(L::writeLog);
}

// An operator must learn why a start was refused: one error line per refusal, written
// even while the switch is off when the configuration asks for the log, since a refusal
// comes before the switch is read.
TEST_F(EngineTest, EachRefusalSaysWhyInOneLine) {
    const auto plist = home.bundleDir() + "/Info.plist";
    const auto file = home.dir().file("a-file");
    test::writeFile(file, "x");
    auto endpoint = [](const char* url) {
        return LumvexConfiguration::Builder().endpoint(url).enableDebugLog(true).build();
    };
    struct Case {
        std::function<std::shared_ptr<const LumvexConfiguration>()> configuration;
        std::string cachesBase;
        LumvexStartException result;
        std::string why;  // "" for no line at all
    };
    const std::vector<Case> cases = {
        {[&] {
             home.writeInfoPlist("<key>other</key><string>x</string>");
             return config();
         },
         "", LumvexStartException::INVALID_EMPTY_API_KEY,
         "The API key is empty: " + plist + " has no \"lumvex_api_key\""},
        {[&] { return LumvexConfiguration::Builder().apiKey("").enableDebugLog(true).build(); }, "",
         LumvexStartException::INVALID_EMPTY_API_KEY,
         "The API key is empty: the host gave an empty one with apiKey(\"\")"},
        {[&] { return configWithoutKey(); }, "", LumvexStartException::INVALID_EMPTY_API_KEY,
         "The API key is empty: the configuration was built before " + plist + " held a \"lumvex_api_key\""},
        {[&] { return config(0); }, "", LumvexStartException::ERROR,
         "The push frequency 0 is not a number of minutes from 1 to " +
             std::to_string(std::numeric_limits<std::int64_t>::max() / 60)},
        {[&] { return endpoint("http://example.com"); }, "", LumvexStartException::ERROR,
         "The endpoint \"http://example.com\" does not end with \"/\""},
        {[&] { return endpoint("http://example.com/?a=/"); }, "", LumvexStartException::ERROR,
         "The endpoint \"http://example.com/?a=/\" has a query or a fragment"},
        {[&] { return endpoint("ftp://example.com/"); }, "", LumvexStartException::ERROR,
         "The endpoint \"ftp://example.com/\" is not an absolute http or https URL"},
        {[&] { return LumvexConfiguration::Builder().keepOffline(0, 300).enableDebugLog(true).build(); }, "",
         LumvexStartException::ERROR, "keepOffline takes 1 to 1000 days and 1 to 16000000 fixes, or both 0"},
        {[&] {
             return LumvexConfiguration::Builder().keepOffline(30, 20000000).enableDebugLog(true).build();
         },
         "", LumvexStartException::ERROR,
         "keepOffline takes 1 to 1000 days and 1 to 16000000 fixes, or both 0"},
        {[&] { return LumvexConfiguration::Builder().maxBatchSize(10001).enableDebugLog(true).build(); }, "",
         LumvexStartException::ERROR, "maxBatchSize takes 1 to 10000 fixes"},
        {[&] { return config(); }, "relative/cache", LumvexStartException::ERROR,
         "The caches directory given by the host is not an absolute path: relative/cache"},
        {[&] { return config(); }, file, LumvexStartException::ERROR,
         "Error while opening caches directory " + file + "/"},
        // Passed on as a C string, it would name the home directory itself.
        {[&] { return config(); }, home.dir().path() + std::string(1, '\0') + "/sub",
         LumvexStartException::ERROR,
         "The caches directory given by the host has a NUL byte after \"" + home.dir().path() + "\""},
        // Neither the switch nor the configuration asks for the log.
        {[&] { return config(0, false); }, "", LumvexStartException::ERROR, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        platform::setCachesDirectory(c.cachesBase);
        const auto configuration = c.configuration();
        test::StdoutCapture out;
        EXPECT_EQ(engine.start(configuration), c.result);
        home.writeInfoPlist("<key>lumvex_api_key</key><string>key</string>");
        const auto text = out.text();
        if (c.why.empty()) {
            EXPECT_EQ(text, "");
            continue;
        }
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_EQ(text.rfind("LumvexEngine.cpp:start(_:):", 0), 0u) << text;
        EXPECT_NE(text.find(" ERROR: " + c.why), std::string::npos) << text;
        EXPECT_FALSE(L::writeLog);
    }
    platform::setCachesDirectory("");
    // With the switch on, even a missing configuration says so.
    L::writeLog = true;
    test::StdoutCapture out;
    EXPECT_EQ(engine.start(nullptr), LumvexStartException::ERROR);
    EXPECT_NE(out.text().find("start(_:):"), std::string::npos);
    EXPECT_NE(out.text().find(" ERROR: No configuration was given!!\n"), std::string::npos);
    // What a host that logs only the error code shows names the case and where to look.
    EXPECT_NE(make_error_code(LumvexStartException::ERROR).message().find("log line"), std::string::npos);
    EXPECT_NE(make_error_code(LumvexStartException::INVALID_EMPTY_API_KEY).message().find("Info.plist"),
              std::string::npos);
    EXPECT_EQ(make_error_code(LumvexException::PUSH_FAILED).message().rfind("PUSH_FAILED: ", 0), 0u);
}

TEST_F(EngineTest, StopStartAgainTakesTheNewConfigurationAndKeepsTheLogSwitch) {
    engine.stop();  // before any start: nothing happens
    EXPECT_FALSE(engine.isStarted());
    ASSERT_EQ(engine.start(config(1440, true)), std::nullopt);
    engine.stop();
    EXPECT_FALSE(engine.isStarted());
    EXPECT_TRUE(L::writeLog) << "stop keeps the log switch";
    ASSERT_EQ(engine.start(config(1, false)), std::nullopt);
    EXPECT_TRUE(engine.isStarted());
    EXPECT_FALSE(L::writeLog);
    engine.stop();
    engine.stop();
    EXPECT_FALSE(engine.isStarted());
}

TEST_F(EngineTest, ForcePushWhileStoppedLogsAndNeverCallsBack) {
    std::atomic<int> callbacks{0};
    test::StdoutCapture out;
    engine.forcePush([&](std::optional<LumvexException>) { ++callbacks; });  // never started
    ASSERT_TRUE(LumvexEngineTestAccess::queue(engine)->drain(5s));
    L::writeLog = true;
    engine.forcePush([&](std::optional<LumvexException>) { ++callbacks; });
    ASSERT_TRUE(LumvexEngineTestAccess::queue(engine)->drain(5s));
    ASSERT_EQ(engine.start(config()), std::nullopt);
    engine.stop();  // a configuration stays behind, but the library is stopped
    engine.forcePush([&](std::optional<LumvexException>) { ++callbacks; });
    engine.applicationWillResignActive();
    ASSERT_TRUE(LumvexEngineTestAccess::queue(engine)->drain(5s));
    const std::string line = "LumvexEngine.cpp:forcePush(_:):";
    const auto text = out.text();
    EXPECT_EQ(callbacks, 0);
    std::size_t count = 0;
    for (auto pos = text.find(line); pos != std::string::npos; pos = text.find(line, pos + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 3u) << text;
    EXPECT_NE(text.find(" Impossible to push because sdk is not started\n"), std::string::npos) << text;
}

TEST_F(EngineTest, UploadsGoToTheConfiguredEndpointElseToTheBuildDefault) {
    test::Collector own;
    test::Collector builtIn;
    PushRequestTestAccess::setDefaultEndpoint(builtIn.baseUrl());
    for (bool withEndpoint : {true, false}) {
        LumvexConfiguration::Builder builder;
        builder.pushFormat(PushFormat::LOCATION_ONLY).pushRegion(PushRegion::US);
        if (withEndpoint) {
            builder.endpoint(own.baseUrl());
        }
        ASSERT_EQ(engine.start(builder.build()), std::nullopt);
        engine.addTrace({withEndpoint ? 1.5 : 2.5, 3.0});
        test::PushOutcome outcome;
        engine.forcePush(outcome.callback());
        ASSERT_TRUE(outcome.wait());
        EXPECT_EQ(outcome.error(), std::nullopt);
        engine.stop();
    }
    PushRequestTestAccess::setDefaultEndpoint(std::nullopt);
    const auto ownUploads = own.uploads("key");
    const auto builtInUploads = builtIn.uploads("key");
    ASSERT_EQ(ownUploads.size(), 1u) << ownUploads;
    ASSERT_EQ(builtInUploads.size(), 1u) << builtInUploads;
    EXPECT_NE(ownUploads.dump().find("1.5"), std::string::npos) << ownUploads;
    EXPECT_NE(builtInUploads.dump().find("2.5"), std::string::npos) << builtInUploads;
}

TEST_F(EngineTest, ForcePushQueuedBeforeStopIsRefusedWhenItRuns) {
    ASSERT_EQ(engine.start(config()), std::nullopt);
    std::mutex gate;
    std::unique_lock<std::mutex> hold(gate);
    LumvexEngineTestAccess::queue(engine)->async([&] { std::lock_guard<std::mutex> wait(gate); });
    std::atomic<int> callbacks{0};
    test::StdoutCapture out;
    engine.forcePush([&](std::optional<LumvexException>) { ++callbacks; });
    engine.stop();
    hold.unlock();
    ASSERT_TRUE(LumvexEngineTestAccess::queue(engine)->drain(5s));
    EXPECT_EQ(callbacks, 0);
    EXPECT_NE(out.text().find("Impossible to push because sdk is not started"), std::string::npos);
}

TEST(FacadeTest, SharedIsOneInstanceAndNullConfigurationIsAnError) {
    Lumvex* seen[4] = {};
    std::thread threads[4];
    for (int i = 0; i < 4; ++i) {
        threads[i] = std::thread([&, i] { seen[i] = &Lumvex::shared(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (auto* p : seen) {
        EXPECT_EQ(p, &Lumvex::shared());
    }
    EXPECT_EQ(Lumvex::shared().start(nullptr), LumvexStartException::ERROR);
    EXPECT_FALSE(Lumvex::shared().isStarted());
    Lumvex::shared().stop();
    EXPECT_FALSE(Lumvex::shared().isStarted());
}

}  // namespace

namespace {

TEST(FacadeTraceTest, FixesReachTheStoreInCallOrderAlsoWhileStopped) {
    test::IsolatedHome home;
    ASSERT_FALSE(Lumvex::shared().isStarted());
    for (int i = 0; i < 5; ++i) {
        Lumvex::shared().addTrace({10.0 + i, 20.5});
    }
    std::vector<TraceRecord> records;
    ASSERT_TRUE(test::waitUntil([&] {
        records = storedRecords();
        return records.size() == 5;
    }));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(records[static_cast<std::size_t>(i)].at("lat"), std::to_string(10 + i) + ".0");
        EXPECT_EQ(records[static_cast<std::size_t>(i)].at("lng"), "20.5");
    }
    EXPECT_TRUE(test::fileExists(home.cachesDir() + "/backup.lmx"));
}

}  // namespace

namespace {

/// The names of this process's threads, as a debugger or `top -H` shows them.
std::set<std::string> threadNames() {
    std::set<std::string> names;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            if (std::getline(comm, name)) {
                names.insert(name);
            }
        }
        ::closedir(tasks);
    }
    return names;
}

TEST_F(EngineTest, TheLibrarysThreadsCarryItsNames) {
    ASSERT_EQ(engine.start(config()), std::nullopt);
    EXPECT_EQ(threadNames().count("lumvex-queue"), 1u);

    // The HTTP layer's thread comes with the first upload, not with start.
    test::RefusingPort refusing;
    std::promise<void> answered;
    platform::UrlSession::shared().dataTask(platform::UrlRequest(*platform::Url::parse(refusing.baseUrl())),
                                            [&answered](auto, auto, auto) { answered.set_value(); });
    ASSERT_EQ(answered.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(threadNames().count("lumvex-http"), 1u);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

/// In a fresh process whose address space leaves no room for another thread's stack:
/// reaching the library must not throw, start is refused, and the other operations log
/// and drop their work; once threads can be made again, start succeeds. Ends the process
/// with the number of the first check that failed, 0 when all held.
int runWithoutRoomForThreads() {
    ::dup2(2, 1);  // the debug log goes where the death test reads
    test::IsolatedHome home;
    home.writeInfoPlist("<key>lumvex_api_key</key><string>key</string>");
    const auto config = LumvexConfiguration::Builder().enableDebugLog(true).build();
    rlimit old{};
    ::getrlimit(RLIMIT_AS, &old);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit tight = old;
    // Less room than one of the library's thread stacks takes.
    tight.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (128u << 10);
    ::setrlimit(RLIMIT_AS, &tight);
    try {
        std::thread probe([] {});
        probe.join();
        return 1;  // the limit does not keep threads out here
    } catch (const std::system_error&) {
    }
    L::writeLog = true;
    auto& sdk = Lumvex::shared();
    if (sdk.start(config) != LumvexStartException::ERROR || sdk.isStarted()) {
        return 2;
    }
    std::atomic<int> callbacks{0};
    sdk.addTrace({1.0, 2.0});
    sdk.forcePush([&](std::optional<LumvexException>) { ++callbacks; });
    ::setrlimit(RLIMIT_AS, &old);
    if (sdk.start(config) != std::nullopt || !sdk.isStarted()) {
        return 3;
    }
    sdk.stop();
    return callbacks == 0 ? 0 : 4;
}

TEST(FacadeLifecycleDeathTest, WithoutRoomForAThreadStartIsRefusedAndWorkIsDropped) {
    if (SANITIZED) {
        GTEST_SKIP() << "the sanitizers' own mappings do not fit under a tight address-space limit";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(runWithoutRoomForThreads()), ::testing::ExitedWithCode(0),
                "addTrace\\(_:\\):[0-9]+ ERROR: The work queue has no thread, the work is dropped!!\n"
                ".*forcePush\\(_:\\):[0-9]+ ERROR: The work queue has no thread, the work is dropped!!");
}

/// Waits up to 20 s for `child` to end; kills it when it does not. Returns its status,
/// or -1 when it had to be killed.
int waitForChild(pid_t child) {
    int status = 0;
    if (test::waitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; },
                        std::chrono::seconds(20))) {
        return status;
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return -1;
}

// The parent's library threads do not exist in a forked child, so the child must neither
// block nor quietly drop what it hands over: every operation says that it is refused.
TEST(FacadeLifecycleTest, AForkedChildIsRefusedWithALogLineInEveryOperation) {
    test::IsolatedHome home;
    home.writeInfoPlist("<key>lumvex_api_key</key><string>key</string>");
    auto& sdk = Lumvex::shared();
    ASSERT_EQ(sdk.start(LumvexConfiguration::Builder().enableDebugLog(true).build()), std::nullopt);
    test::StdoutCapture out;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failed = 0;
        failed |= sdk.isStarted() ? 1 : 0;
        failed |= sdk.start(LumvexConfiguration::Builder().enableDebugLog(true).build()) ==
                          LumvexStartException::ERROR
                      ? 0
                      : 2;
        sdk.addTrace({1.0, 2.0});
        sdk.forcePush([](std::optional<LumvexException>) { std::_Exit(100); });
        sdk.applicationWillResignActive();
        sdk.stop();
        // Without exit's handlers: the leak checker of a sanitized build would take what
        // only the parent's threads still point to for leaks.
        std::fflush(stdout);
        std::_Exit(failed);
    }
    const int status = waitForChild(child);
    sdk.stop();
    const auto text = out.text();
    ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    for (const char* operation :
         {"start(_:)", "addTrace(_:)", "forcePush(_:)", "applicationWillResignActive()", "stop()"}) {
        EXPECT_NE(text.find(std::string("Lumvex.cpp:") + operation + ":"), std::string::npos) << operation;
    }
    EXPECT_NE(text.find(" ERROR: LumvexSdk does not run in a child process made by fork()!!\n"),
              std::string::npos)
        << text;
}

}  // namespace
