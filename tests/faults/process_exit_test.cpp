#include "Collector.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
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

// What a host hands over right before it leaves is on disk once it has left, however it
// leaves short of _exit() or a signal; and a host's limits and stack needs are met on the
// library's threads as on its own.
TEST(ProcessExit, AHostThatLeavesOrRunsUnderLimitsKeepsWhatItHandedOverAndSurvives) {
    struct Case {
        std::vector<std::string> args;  // after the bundle directory
        std::size_t storedLines;        // lines in the trace file afterwards
        const char* logged;             // in the host's output, or empty
    };
    lumvex::test::RefusingPort refusing;
    const Case cases[] = {
        {{"exit", "return"}, 20, ""},
        {{"exit", "exit"}, 20, ""},
        {{"exit", "static"}, 21, ""},
        // The fourth line no longer fits; the write fails with EFBIG instead of SIGXFSZ.
        {{"file-size", "100"}, 3, "Error while writing trace file"},
        {{"deep-callback", refusing.baseUrl()}, 1, ""},  // the failed upload keeps its fix
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        lumvex::test::IsolatedHome home;
        home.writeInfoPlist(
            "<key>CFBundleIdentifier</key><string>com.example.host</string>"
            "<key>lumvex_api_key</key><string>key</string>");
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
    }
}

}  // namespace
