// A host kept days of fixes while offline; then the network returns and it uploads the
// backlog, killed with SIGKILL at random moments of that drain. Every fix must reach the
// collector exactly once, in order, in batches.
//
// The backlog is thirty days at one fix per 10 s; LUMVEX_OFFLINE_FIXES, LUMVEX_OFFLINE_KILLS,
// LUMVEX_OFFLINE_BATCH and LUMVEX_OFFLINE_SEED (which the test prints) change the run.

#include "Collector.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace lumvex::test;

namespace {

std::uint64_t fromEnvironment(const char* name, std::uint64_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

pid_t spawn(std::vector<std::string> args) {
    args.insert(args.begin(), LUMVEX_OFFLINE_DRAINER);
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, LUMVEX_OFFLINE_DRAINER, nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start the drainer");
    }
    return pid;
}

// The exit status, or -1 when a signal ended it.
int waitFor(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(OfflineDrain, ABacklogReachesTheCollectorOnceInOrderInBatchesThoughKilledMidDrain) {
    const auto fixes = fromEnvironment("LUMVEX_OFFLINE_FIXES", 30 * 8640);
    const auto kills = fromEnvironment("LUMVEX_OFFLINE_KILLS", 20);
    const auto batch = fromEnvironment("LUMVEX_OFFLINE_BATCH", 1000);
    const auto seed = fromEnvironment("LUMVEX_OFFLINE_SEED", std::random_device{}());
    SCOPED_TRACE("LUMVEX_OFFLINE_SEED=" + std::to_string(seed));
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));

    IsolatedHome home;
    home.writeInfoPlist(
        "<key>CFBundleIdentifier</key><string>com.example.offline</string>"
        "<key>lumvex_api_key</key><string>offline-key</string>");
    Collector collector({std::nullopt, nullptr, {"--quiet"}});
    const auto base = collector.baseUrl();

    // The backlog ends now, so that none of it is past the age bound.
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const auto firstMs = now - static_cast<std::int64_t>(fixes) * 10000;
    ASSERT_EQ(
        waitFor(spawn({home.bundleDir(), base, "fill", std::to_string(fixes), std::to_string(firstMs)})), 0);

    // Each run is killed at its own moment: before its first request, mid-batch, right
    // after an answer, or while it removes what was delivered.
    std::uniform_int_distribution<int> delayMicros(0, 400000);
    int killedMidRun = 0;
    for (std::uint64_t k = 0; k < kills; ++k) {
        const pid_t pid = spawn({home.bundleDir(), base, "drain", std::to_string(batch)});
        // The moment of the kill is what this test varies, not something it waits for.
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
        ::kill(pid, SIGKILL);
        killedMidRun += waitFor(pid) == -1 ? 1 : 0;
    }
    ASSERT_EQ(waitFor(spawn({home.bundleDir(), base, "drain", std::to_string(batch)})), 0);

    std::vector<std::uint64_t> received;
    std::size_t requests = 0;
    int replays = 0;
    for (const auto& upload : collector.uploads("offline-key")) {
        ++requests;
        replays += upload.at("replays").get<int>();
        const auto& locations = upload.at("body").at("locations");
        ASSERT_LE(locations.size(), batch);
        for (const auto& location : locations) {
            received.push_back(static_cast<std::uint64_t>(std::stod(location.at("lat").get<std::string>())));
        }
    }
    ASSERT_EQ(received.size(), fixes) << "each fix exactly once";
    for (std::uint64_t n = 0; n < fixes; ++n) {
        ASSERT_EQ(received[n], n + 1) << "in the order taken";
    }
    EXPECT_GE(requests, (fixes + batch - 1) / batch);
    EXPECT_GT(killedMidRun, 0);
    RecordProperty("killedMidRun", killedMidRun);
    RecordProperty("replays", replays);
    RecordProperty("requests", static_cast<int>(requests));
}
