#include "TestSupport.h"
#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace lumvex;
using namespace std::chrono_literals;

namespace {

// A host may stop its loop from another thread just before the loop's thread enters it;
// that run must end, and the stop must not outlive it.
TEST(RunLoopTest, AStopAskedBeforeTheRunEndsThatRunAndOnlyThatOne) {
    std::shared_ptr<RunLoopImpl> loop;
    test::Signal ready;
    test::Signal stopAsked;
    test::Signal firstRunEnded;
    std::atomic<bool> secondRunTimedOut{false};
    std::thread host([&] {
        loop = detail::RunLoopAccess::current();
        ready.notify();
        stopAsked.wait();
        RunLoop::current().run();
        firstRunEnded.notify();
        // The stop was used up by the run above: this one lasts its whole duration.
        const auto began = std::chrono::steady_clock::now();
        RunLoop::current().runFor(50ms);
        secondRunTimedOut = std::chrono::steady_clock::now() - began >= 50ms;
    });
    ASSERT_TRUE(ready.wait());
    loop->stop();
    stopAsked.notify();
    const bool ended = firstRunEnded.wait(10s);
    if (!ended) {
        loop->stop();  // release the host thread so that the test can end
    }
    host.join();
    EXPECT_TRUE(ended) << "a stop asked before run() was lost";
    EXPECT_TRUE(secondRunTimedOut);
}

}  // namespace
