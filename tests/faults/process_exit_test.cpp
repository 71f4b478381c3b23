#include "Collector.h"
#include "TestSupport.h"
#include "platform/system/FileLock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

/// Runs the busy-exit host `runs` times with the `extra` arguments and expects
/// each run to end with status 0.
void expectCleanExits(const std::vector<std::string>& extra, int runs) {
    lumvex::test::IsolatedHome home;
    home.writeInfoPlist(
        "<key>CFBundleIdentifier</key><string>com.example.exit</string>"
        "<key>lumvex_api_key</key><string>key</string>");
    lumvex::test::RefusingPort refusing;
    for (int run = 0; run < runs; ++run) {
        std::vector<std::string> args = {LUMVEX_BUSY_EXIT, home.bundleDir(), refusing.baseUrl()};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(::posix_spawn(&pid, LUMVEX_BUSY_EXIT, nullptr, nullptr, argv.data(), environ), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "run " << run << " ended by signal " << WTERMSIG(status);
        ASSERT_EQ(WEXITSTATUS(status), 0) << "run " << run;
    }
}

// Exit handlers and static destructors run while the library's threads are still busy;
// none of them may touch what exit has already torn down.
TEST(ProcessExit, LeavingWhileUploadsAreQueuedEndsCleanly) {
    expectCleanExits({}, 20);
}

// The failed upload's error is formatted on the upload thread while exit runs; the race
// is narrow, hence the many runs. The address and undefined-behaviour sanitizers are what
// see a destroyed object used; under the thread sanitizer each run starts so slowly that
// fewer runs keep the test within its time.
#if defined(__SANITIZE_THREAD__)
constexpr int RESIGN_RUNS = 40;
#else
constexpr int RESIGN_RUNS = 200;
#endif
TEST(ProcessExit, LeavingRightAfterResigningActiveWithAFailingUploadEndsCleanly) {
    expectCleanExits({"resign"}, RESIGN_RUNS);
}

#ifdef LUMVEX_MINIMAL_EXAMPLE
/// Reads `fd` until `wanted` has appeared in what was read or the deadline passes (true
/// when it appeared), or with an empty `wanted`, until the end of the stream.
bool readUntil(int fd, std::string& out, const std::string& wanted,
               std::chrono::steady_clock::time_point deadline) {
    while (wanted.empty() || out.find(wanted) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return wanted.empty();
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

// A service's stop: SIGTERM makes the minimal example shut down with a last upload and exit 0.
TEST(ProcessExit, TheMinimalExampleUploadsOnSigtermAndExitsZero) {
    lumvex::test::IsolatedHome home;  // its caches directory, through XDG_CACHE_HOME
    lumvex::test::Collector collector;
    int output[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::string program = LUMVEX_MINIMAL_EXAMPLE, endpoint = collector.baseUrl();
    char* argv[] = {program.data(), endpoint.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, LUMVEX_MINIMAL_EXAMPLE, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);

    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const bool started = readUntil(output[0], said, "lumvex-minimal: started", deadline);
    EXPECT_TRUE(started) << said;
    ::kill(pid, started ? SIGTERM : SIGKILL);
    const bool ended = readUntil(output[0], said, "", deadline);
    if (!ended) {
        ::kill(pid, SIGKILL);
    }
    ::close(output[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(ended) << said;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << said;
    EXPECT_EQ(WEXITSTATUS(status), 0) << said;
    EXPECT_NE(said.find("lumvex-minimal: shutdown: DELIVERED"), std::string::npos) << said;
    EXPECT_EQ(collector.uploads("minimal-example-key").size(), 1u);
}
#endif

// What a host hands over right before it leaves is on disk once it has left, however it
// leaves short of _exit() or a signal; and a host's limits and stack needs are met on the
// library's threads as on its own.
TEST(ProcessExit, AHostThatLeavesOrRunsUnderLimitsKeepsWhatItHandedOverAndSurvives) {
    struct Case {
        std::vector<std::string> args;  // after the bundle directory
        std::size_t storedLines;        // lines in the trace file afterwards
        const char* logged;             // in the host's output, or empty
        bool lockHeld = false;          // another process holds the trace file's lock throughout
        const char* notStoredBy = "";   // the operation whose line counts the 5 fixes not stored
    };
    lumvex::test::RefusingPort refusing;
    const Case cases[] = {
        {{"exit", "return"}, 20, ""},
        {{"exit", "exit"}, 20, ""},
        {{"exit", "static"}, 21, ""},
        // The fourth line no longer fits; the write fails with EFBIG instead of SIGXFSZ.
        {{"file-size", "100"}, 3, "Error while writing trace file"},
        {{"deep-callback", refusing.baseUrl()}, 1, ""},  // the failed upload keeps its fix
        // Nothing can be stored: the host is told how many were not, and none is written
        // without the lock.
        {{"exit", "locked"}, 0, "exit():", true, "exit()"},
        // The same at stop(), whose leftovers go back to the library's queue: a fix that the
        // queue holds for want of the lock while the count is made is still counted once,
        // and the queue's own lock waits do not keep stop() past its bound.
        {{"exit", "stop-locked"}, 0, "stop():", true, "stop()"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        lumvex::test::IsolatedHome home;
        home.writeInfoPlist(
            "<key>CFBundleIdentifier</key><string>com.example.host</string>"
            "<key>lumvex_api_key</key><string>key</string>");
        std::optional<lumvex::platform::FileLock> otherProcess;
        if (c.lockHeld) {
            std::filesystem::create_directories(home.cachesDir());
            ASSERT_EQ(::chmod(home.cachesDir().c_str(), 0700), 0);
            otherProcess = lumvex::platform::FileLock::lock(home.cachesDir() + "/backup.lock");
            ASSERT_TRUE(otherProcess);
        }
        std::vector<std::string> argv = {LUMVEX_HOST, home.bundleDir()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        lumvex::test::ChildProcess host(argv, false, true);
        ASSERT_TRUE(host.started());
        const int status = host.wait();
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        const auto path = home.cachesDir() + "/backup.lmx";
        const auto stored = lumvex::test::fileExists(path) ? lumvex::test::readFile(path) : std::string();
        EXPECT_EQ(static_cast<std::size_t>(std::count(stored.begin(), stored.end(), '\n')), c.storedLines);
        EXPECT_NE(host.output().find(c.logged), std::string::npos) << host.output();
        if (*c.notStoredBy) {
            std::istringstream lines(host.output());
            std::string told;
            for (std::string line; std::getline(lines, line);) {
                if (line.find(std::string(":") + c.notStoredBy + ":") != std::string::npos &&
                    line.find("fixes handed over were not stored in time") != std::string::npos) {
                    told = line.substr(line.find(' ') + 1);
                }
            }
            EXPECT_EQ(told, "ERROR: 5 fixes handed over were not stored in time!!") << host.output();
        }
    }
}

// Hosts of one executable without an Info.plist and with different keys, one after the
// other (as every Python script is python3): each key receives only its own fixes, the
// first one's kept fix included.
TEST(ProcessExit, HostsOfOneExecutableWithoutAnIdentityNeverUploadUnderEachOthersKeys) {
    lumvex::test::IsolatedHome home;
    std::filesystem::remove(home.bundleDir() + "/Info.plist");
    lumvex::test::Collector collector;
    auto run = [&](const char* key, const char* latitude, const char* how) {
        lumvex::test::ChildProcess host(
            {LUMVEX_HOST, home.bundleDir(), "keyed", collector.baseUrl(), key, latitude, how}, false, true);
        const int status = host.wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << host.output();
        return host.output();
    };
    run("app-A", "11", "store");
    EXPECT_EQ(run("app-B", "22", "shutdown"), "DELIVERED\n");
    EXPECT_EQ(run("app-A", "33", "shutdown"), "DELIVERED\n");
    auto latitudes = [&](const char* key) {
        std::multiset<std::string> seen;
        for (const auto& upload : collector.uploads(key)) {
            for (const auto& location : upload["body"]["locations"]) {
                seen.insert(location["lat"].get<std::string>());
            }
        }
        return seen;
    };
    EXPECT_EQ(latitudes("app-B"), (std::multiset<std::string>{"22.0"}));
    EXPECT_EQ(latitudes("app-A"), (std::multiset<std::string>{"11.0", "33.0"}));
}

// Host code that ends the library's thread it runs on (pthread_exit, as an interpreter ends
// its threads at exit), in the log handler or a push callback, neither aborts the process
// nor loses a fix: the exit stores what the ended queue thread had not.
#if defined(__SANITIZE_THREAD__)
constexpr int ENDED_THREAD_RUNS = 10;  // each run starts slowly under the thread sanitizer
#else
constexpr int ENDED_THREAD_RUNS = 50;
#endif
TEST(ProcessExit, HostCodeThatEndsTheLibrarysThreadLosesNothing) {
    lumvex::test::Collector collector;
    for (int run = 0; run < ENDED_THREAD_RUNS; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        for (const bool inCallback : {false, true}) {
            lumvex::test::IsolatedHome home;
            std::vector<std::string> argv = {LUMVEX_HOST, home.bundleDir(), "end-in-handler"};
            if (inCallback) {
                argv = {LUMVEX_HOST, home.bundleDir(), "end-in-callback", collector.baseUrl()};
            }
            lumvex::test::ChildProcess host(argv, false, true);
            const int status = host.wait();
            ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << host.output();
            ASSERT_EQ(WEXITSTATUS(status), 0) << argv[2];
            if (!inCallback) {
                const auto stored = lumvex::test::readFile(home.cachesDir() + "/backup.lmx");
                ASSERT_EQ(std::count(stored.begin(), stored.end(), '\n'), 20);
            }
        }
    }
    EXPECT_EQ(collector.uploads("key").size(), static_cast<std::size_t>(ENDED_THREAD_RUNS));
}

}  // namespace
