#include "L.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

using lumvex::L;
using lumvex::test::StdoutCapture;

namespace {

class DebugLogTest : public ::testing::Test {
protected:
    void TearDown() override { L::writeLog = false; }
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

}  // namespace
