#include "platform/base/L.h"
#include "TestSupport.h"

#include <LumvexSdk/Platform.h>

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

using lumvex::L;
using lumvex::test::StdoutCapture;

namespace {

class DebugLogTest : public ::testing::Test {
protected:
    void TearDown() override {
        L::writeLog = false;
        lumvex::platform::setLogHandler(nullptr);
    }
};

TEST_F(DebugLogTest, WritesNothingAtAllWhileOff) {
    L::writeLog = false;
    StdoutCapture out;
    L::debug("hello", 12, "/a/b/File.cpp", "op()");
    LUMVEX_LOG_ERROR("op()", "Push failed");
    EXPECT_EQ(out.text(), "");
}

TEST_F(DebugLogTest, LineFormatTakesLastPathComponent) {
    L::writeLog = true;
    StdoutCapture out;
    L::debug("x", 53, "/src/LumvexSdk/DeviceInfoUtils.cpp", "getDeviceInfo()");
    L::debug("", 7, "NoSlash.cpp", "f");
    L::debug("y", 1, "dir/", "g");
    L::debug(L::error("Push failed"), 9, "/p/PushRequest.cpp", "sendPush(_:callback:)");
    EXPECT_EQ(out.text(),
              "DeviceInfoUtils.cpp:getDeviceInfo():53 x\n"
              "NoSlash.cpp:f:7 \n"
              ":g:1 y\n"
              "PushRequest.cpp:sendPush(_:callback:):9 ERROR: Push failed!!\n");
}

TEST_F(DebugLogTest, MacroNamesTheCallingFileAndLine) {
    L::writeLog = true;
    StdoutCapture out;
    const int line = __LINE__ + 1;
    LUMVEX_LOG("test()", "message");
    EXPECT_EQ(out.text(), "l_test.cpp:test():" + std::to_string(line) + " message\n");
}

TEST_F(DebugLogTest, LinesFromManyThreadsNeverMix) {
    L::writeLog = true;
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    const std::string payload(200, 'p');
    std::string text;
    {
        StdoutCapture out;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kLines; ++i) {
                    L::debug(std::to_string(t) + "-" + std::to_string(i) + payload, i, "F.cpp", "op");
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
        text = out.text();
    }
    const std::regex shape("F\\.cpp:op:([0-9]+) ([0-9]+)-([0-9]+)p{200}");
    std::istringstream lines(text);
    std::string line;
    std::set<std::string> seen;
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        EXPECT_EQ(m[1], m[3]) << line;
        seen.insert(m[2].str() + "-" + m[3].str());
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

// A service sends the log to journald or syslog: the same lines, without their line feed,
// under the same switch, and none of them on standard output, until the handler is cleared.
TEST_F(DebugLogTest, AHandlerTakesTheSameLinesUnderTheSameSwitchUntilCleared) {
    std::mutex mutex;
    std::vector<std::string> lines;
    lumvex::platform::setLogHandler([&](std::string_view line) {
        std::lock_guard<std::mutex> guard(mutex);
        lines.emplace_back(line);
    });
    StdoutCapture out;
    L::debug("off", 1, "/a/File.cpp", "op()");
    L::writeLog = true;
    L::debug("on", 2, "/a/File.cpp", "op()");
    LUMVEX_LOG_ERROR("op()", "Push failed");
    lumvex::platform::setLogHandler(std::function<void(std::string_view)>());
    L::debug("back", 3, "/a/File.cpp", "op()");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "File.cpp:op():2 on");
    EXPECT_NE(lines[1].find("l_test.cpp:op():"), std::string::npos);
    EXPECT_EQ(lines[1].substr(lines[1].find(' ')), " ERROR: Push failed!!");
    EXPECT_EQ(out.text(), "File.cpp:op():3 back\n");
}

// Handlers replaced while threads log: each line reaches exactly one of them, whole, and a
// handler that throws or logs itself neither deadlocks nor stops the logging thread.
TEST_F(DebugLogTest, AHandlerCanBeReplacedWhileThreadsLog) {
    L::writeLog = true;
    std::atomic<int> received{0};
    std::atomic<bool> broken{false};
    auto counting = [&](std::string_view line) {
        if (line.find("F.cpp:op:") != 0) {
            broken = true;
        }
        ++received;
    };
    auto throwing = [&](std::string_view line) {
        counting(line);
        throw std::runtime_error("host failure");
    };
    auto logging = [&](std::string_view line) {
        counting(line);
        lumvex::platform::setLogHandler(counting);  // sets another from inside: no deadlock
    };
    constexpr int kThreads = 3;
    constexpr int kLines = 400;
    lumvex::platform::setLogHandler(counting);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < kLines; ++i) {
                L::debug("line", i, "F.cpp", "op");
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        if (i % 2 == 0) {
            lumvex::platform::setLogHandler(throwing);
        } else {
            lumvex::platform::setLogHandler(logging);
        }
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_FALSE(broken);
    EXPECT_EQ(received, kThreads * kLines);
}

// A journal needs each line's level, beside its unchanged text. A host that sets the handler
// to nothing may then tear down what the old one used: the call returns only once no line
// is inside it, also when the handler ended its thread (as an interpreter does at exit).
TEST_F(DebugLogTest, LinesCarryALevelAndAReplacementWaitsForTheOldHandler) {
    using lumvex::platform::LogLevel;
    std::vector<LogLevel> levels;
    std::string first;
    lumvex::platform::setLogHandlerWithLevel([&](LogLevel level, std::string_view line) {
        levels.push_back(level);
        first = first.empty() ? std::string(line) : first;
    });
    L::writeLog = true;
    LUMVEX_LOG_ERROR("op()", "Push failed");
    LUMVEX_LOG("op()", "Push success");
    LUMVEX_LOG_AT(LEVEL_DEBUG, "op()", "Push is not necessary");
    LUMVEX_LOG_AT(LEVEL_WARNING, "op()", "Another process is uploading");
    EXPECT_EQ(levels, (std::vector<LogLevel>{LogLevel::LEVEL_ERROR, LogLevel::LEVEL_INFO,
                                             LogLevel::LEVEL_DEBUG, LogLevel::LEVEL_WARNING}));
    EXPECT_EQ(first.substr(first.find(' ')), " ERROR: Push failed!!");

    lumvex::test::Signal entered, release;
    std::atomic<bool> finished{false};
    lumvex::platform::setLogHandler([&](std::string_view) {
        entered.notify();
        release.wait();
        finished = true;
    });
    std::thread logger([] { L::debug("slow", 1, "F.cpp", "op"); });
    ASSERT_TRUE(entered.wait());
    std::atomic<bool> returned{false};
    bool finishedFirst = false;
    std::thread clearer([&] {
        lumvex::platform::setLogHandler(nullptr);
        finishedFirst = finished;
        returned = true;
    });
    EXPECT_FALSE(lumvex::test::waitUntil([&] { return returned.load(); }, std::chrono::milliseconds(300)));
    release.notify();
    clearer.join();
    logger.join();
    EXPECT_TRUE(finishedFirst);

    lumvex::platform::setLogHandler([](std::string_view) { ::pthread_exit(nullptr); });
    std::thread ended([] {
        L::debug("last", 1, "F.cpp", "op");
        ADD_FAILURE() << "the handler did not end its thread";
    });
    ended.join();
    lumvex::platform::setLogHandler(nullptr);  // the ended line left the handler
}

}  // namespace
