// A host killed while it stores fixes: after each SIGKILL the trace file must read back
// with every line intact except, at most, the one being written when the kill came, and
// the next run's appends must be intact too. A host killed while its upload is being
// accepted: the next run's upload must not leave the server with any fix twice.

#include "Collector.h"
#include "Stores.h"
#include "TestSupport.h"
#include "platform/base/Text.h"
#include "store/TraceRepository.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace lumvex;
using namespace lumvex::test;

namespace {

constexpr int kKills = 60;
// Each run numbers its fixes from its own block, so a line tells which run wrote it.
constexpr std::uint64_t kBlock = 1000000;

// A fix read back from one line: its number, or nothing when the line is not intact.
std::optional<std::uint64_t> fixNumber(const std::string& line) {
    std::string text = line;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    const auto bytes = platform::base64Decode(text);
    if (!bytes) {
        return std::nullopt;
    }
    const auto first = bytes->find(';');
    const auto second = bytes->find(';', first + 1);
    if (first == std::string::npos || second == std::string::npos) {
        return std::nullopt;
    }
    const auto lat = bytes->substr(first + 1, second - first - 1);
    const auto lng = bytes->substr(second + 1);
    const auto n = static_cast<std::uint64_t>(std::stod(lat));
    // Both coordinates come from the same number: a line spliced from two would differ.
    if (TraceCodec::formatCoordinate(static_cast<double>(n)) != lat ||
        TraceCodec::formatCoordinate(static_cast<double>(n) + 0.5) != lng) {
        return std::nullopt;
    }
    return n;
}

std::vector<std::string> splitLines(const std::string& content) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < content.size();) {
        auto end = content.find('\n', start);
        end = end == std::string::npos ? content.size() : end + 1;
        lines.push_back(content.substr(start, end - start));
        start = end;
    }
    return lines;
}

// The writer, with its standard output on a pipe that this process reads.
class Writer {
public:
    Writer(const std::string& bundleDir, std::uint64_t first, std::optional<std::uint64_t> count = {}) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        out_ = fds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<std::string> args = {LUMVEX_TRACE_WRITER, bundleDir, std::to_string(first)};
        if (count) {
            args.push_back(std::to_string(*count));
        }
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, LUMVEX_TRACE_WRITER, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start the trace writer");
        }
    }

    ~Writer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    // Waits (up to a deadline) until the writer reports its first completed append.
    bool waitForFirstAppend() {
        while (completed_.empty()) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 20000) <= 0 || !readSome()) {
                return false;
            }
        }
        return true;
    }

    // Kills the writer and collects every append it had reported.
    void kill() {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        while (readSome()) {
        }
    }

    // Waits for the writer to end by itself; its exit status.
    int wait() {
        while (readSome()) {
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::vector<std::uint64_t>& completed() const { return completed_; }

private:
    bool readSome() {
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof(buffer));
        if (n <= 0) {
            return false;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
        while (pending_.size() >= sizeof(std::uint64_t)) {
            std::uint64_t value = 0;
            std::memcpy(&value, pending_.data(), sizeof(value));
            completed_.push_back(value);
            pending_.erase(0, sizeof(value));
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
    std::vector<std::uint64_t> completed_;
};

pid_t spawnPusher(const std::string& bundleDir, const std::string& base, std::uint64_t first,
                  std::uint64_t count) {
    std::vector<std::string> args = {LUMVEX_PUSHER, bundleDir, base, std::to_string(first),
                                     std::to_string(count)};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, LUMVEX_PUSHER, nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start the pusher");
    }
    return pid;
}

int exitStatus(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int leftoverTemporaries(const std::string& dir) {
    int count = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(d)) {
            if (std::string(entry->d_name).rfind("backup.lmx.", 0) == 0) {
                ++count;
            }
        }
        ::closedir(d);
    }
    return count;
}

}  // namespace

TEST(CrashConsistency, KilledWriterLosesAtMostTheLineItWasWriting) {
    IsolatedHome home;
    const auto path = home.cachesDir() + "/backup.lmx";
    const auto seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("random seed " + std::to_string(seed));
    // Where in its run each writer dies: from right after its first append to a few
    // milliseconds later, by which time it has trimmed the file many times.
    std::uniform_int_distribution<int> delayMicros(0, 3000);

    // The last append each run reported as done.
    std::vector<std::uint64_t> lastDone;
    for (int run = 0; run < kKills; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::uint64_t first = (static_cast<std::uint64_t>(run) + 1) * kBlock;
        {
            Writer writer(home.bundleDir(), first);
            ASSERT_TRUE(writer.waitForFirstAppend());
            // The moment of the kill is what this test varies, not something it waits for.
            std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
            writer.kill();
            lastDone.push_back(writer.completed().back());
        }

        const auto lines = splitLines(readFile(path));
        ASSERT_FALSE(lines.empty());
        std::optional<std::uint64_t> previous;
        std::size_t intact = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const auto n = fixNumber(lines[i]);
            if (!n) {
                // Only a line cut short by a kill may be unreadable: the last of the file,
                // or the last of its run, with the next run's lines after it.
                const auto next = i + 1 < lines.size() ? fixNumber(lines[i + 1]) : std::nullopt;
                EXPECT_TRUE(i + 1 == lines.size() ||
                            (next && previous && *next / kBlock > *previous / kBlock))
                    << "line " << i << " is damaged: " << lines[i];
                continue;
            }
            ++intact;
            if (previous && *n / kBlock == *previous / kBlock) {
                EXPECT_EQ(*n, *previous + 1) << "a fix is missing between two stored ones";
            } else if (previous) {
                // A run's last stored fix is the one it reported last, or the one after it
                // that it was writing when it died; nothing of it was lost at its end.
                const auto runOf = *previous / kBlock - 1;
                EXPECT_GE(*previous, lastDone[runOf]);
                EXPECT_LE(*previous, lastDone[runOf] + 1);
                EXPECT_GT(*n / kBlock, *previous / kBlock);
            }
            previous = n;
        }
        ASSERT_TRUE(previous);
        EXPECT_GE(*previous, lastDone.back()) << "an append reported as done is missing";
        EXPECT_LE(*previous, lastDone.back() + 1);
        // The library reads back the same intact lines.
        EXPECT_EQ(storedRecords().size(), intact);
        if (HasFailure()) {
            return;
        }
    }

    // A run after all those kills stores every fix it is given, whole.
    const std::uint64_t first = (kKills + 1) * kBlock;
    Writer writer(home.bundleDir(), first, 40);
    ASSERT_EQ(writer.wait(), 0);
    ASSERT_EQ(writer.completed().size(), 40u);
    const auto lines = splitLines(readFile(path));
    ASSERT_GE(lines.size(), 15u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(fixNumber(lines[i]), first + 40 - lines.size() + i) << lines[i];
    }
    // Many kills came while a trim's temporary copy existed; the next run clears them.
    EXPECT_EQ(leftoverTemporaries(home.cachesDir()), 0);
}

// The server keeps an upload and answers 200; the host is killed at once or a little
// later, each run at its own moment: before it read the answer, between the answer and the
// removal of the sent lines, or after. Where the upload was left unconfirmed, the next run
// of the host stores fixes of its own and then uploads.
TEST(CrashConsistency, KilledRightAfterTheServerAcceptedItsUploadNoFixArrivesTwice) {
    IsolatedHome home;
    home.writeInfoPlist(
        "<key>CFBundleIdentifier</key><string>com.example.host</string>"
        "<key>lumvex_api_key</key><string>kill-key</string>");
    Collector collector;
    ManualServer server;
    constexpr int kRuns = 50;
    constexpr std::uint64_t kFixes = 3;
    std::set<std::string> added;
    int killedBeforeRemoval = 0;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::uint64_t first = (static_cast<std::uint64_t>(run) + 1) * kBlock;
        for (std::uint64_t n = first; n < first + kFixes; ++n) {
            added.insert(TraceCodec::formatCoordinate(static_cast<double>(n)));
        }
        const pid_t pusher = spawnPusher(home.bundleDir(), server.baseUrl(), first, kFixes);
        ASSERT_TRUE(server.acceptRequest());
        ASSERT_EQ(server.forwardTo(collector).status, 200);
        server.respond(200);
        // The moment of the kill is what this test varies, not something it waits for. The
        // host takes well under a millisecond from the answer to the removal, shorter than
        // a sleep can be timed, so the moment is spun out: finely at first, then further
        // apart, past the durable removals that end a delivered upload.
        const auto moment = std::chrono::steady_clock::now() + std::chrono::microseconds(run * run);
        while (std::chrono::steady_clock::now() < moment) {
        }
        ::kill(pusher, SIGKILL);
        exitStatus(pusher);
        if (fileExists(home.cachesDir() + "/pending.lmx")) {
            ++killedBeforeRemoval;
            // As in real use, the next run stores fixes of its own before it uploads.
            const std::uint64_t next = first + kBlock / 2;
            for (std::uint64_t n = next; n < next + kFixes; ++n) {
                added.insert(TraceCodec::formatCoordinate(static_cast<double>(n)));
            }
            // Through the same endpoint: a record is sent again only where it was sent.
            // The unconfirmed request goes first, then the fixes of this run.
            const pid_t again = spawnPusher(home.bundleDir(), server.baseUrl(), next, kFixes);
            for (int request = 0; request < 2; ++request) {
                ASSERT_TRUE(server.acceptRequest());
                ASSERT_EQ(server.forwardTo(collector).status, 200);
                server.respond(200);
            }
            ASSERT_EQ(exitStatus(again), 0);
            ASSERT_FALSE(fileExists(home.cachesDir() + "/backup.lmx")) << "everything was delivered";
            ASSERT_FALSE(fileExists(home.cachesDir() + "/pending.lmx"));
        } else {
            ASSERT_FALSE(fileExists(home.cachesDir() + "/backup.lmx")) << "delivered but not removed";
        }
    }

    std::multiset<std::string> onServer;
    int replays = 0;
    for (const auto& upload : collector.uploads()) {
        replays += upload.at("replays").get<int>();
        for (const auto& location : upload.at("body").at("locations")) {
            onServer.insert(location.at("lat").get<std::string>());
        }
    }
    EXPECT_EQ(onServer, std::multiset<std::string>(added.begin(), added.end()));
    // Kills before the upload was confirmed made the next run send it again, newer fixes
    // and all, and the collector recognised each of those.
    EXPECT_GT(killedBeforeRemoval, 0);
    EXPECT_EQ(replays, killedBeforeRemoval);
    RecordProperty("killedBeforeRemoval", killedBeforeRemoval);
}
