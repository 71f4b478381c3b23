#include "EngineTestAccess.h"
#include "TaskEnvironment.h"
#include "TestSupport.h"
#include "engine/BaseJob.h"
#include "platform/base/Clock.h"
#include "platform/base/RunLoop.h"
#include "platform/base/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace lumvex;
using namespace std::chrono_literals;

namespace {

class CountingJob : public BaseJob {
public:
    using BaseJob::BaseJob;
    void onTimeInBackgroundThread() override { ++runs; }
    std::atomic<int> runs{0};
};

class VirtualTimeTest : public ::testing::Test {
protected:
    // Virtual time passes and the queue runs what the ticks enqueued.
    void advance(std::chrono::seconds by) { ASSERT_TRUE(env.fastForwardBy(by)); }

    std::shared_ptr<platform::SerialQueue> queue = std::make_shared<platform::SerialQueue>();
    test::TaskEnvironment env{queue};
    platform::VirtualClock& clock = env.clock();
};

TEST_F(VirtualTimeTest, FirstTickOneIntervalAfterStartThenOnePerInterval) {
    auto job = std::make_shared<CountingJob>(10, queue);
    job->startJob();
    job->startJob();  // a second start never makes a second timer
    advance(9s);
    EXPECT_EQ(job->runs, 0);
    advance(1s);
    EXPECT_EQ(job->runs, 1);
    for (int i = 0; i < 5; ++i) {
        advance(10s);
    }
    EXPECT_EQ(job->runs, 6);
    job->stopTimer();
    advance(100s);
    EXPECT_EQ(job->runs, 6);
}

TEST_F(VirtualTimeTest, DayLongIntervalRunsOnVirtualTime) {
    auto job = std::make_shared<CountingJob>(86400, queue);
    job->startJob();
    advance(86399s);
    EXPECT_EQ(job->runs, 0);
    advance(1s);
    EXPECT_EQ(job->runs, 1);
    advance(86400s);
    EXPECT_EQ(job->runs, 2);
    job->stopTimer();
}

TEST_F(VirtualTimeTest, MissedFiringsAreNotMadeUp) {
    auto job = std::make_shared<CountingJob>(10, queue);
    job->startJob();
    advance(35s);
    EXPECT_EQ(job->runs, 1);
    advance(5s);  // back on the grid: 40 s
    EXPECT_EQ(job->runs, 2);
    job->stopTimer();
}

TEST_F(VirtualTimeTest, StopTimerWithoutStartDoesNothingAndQueuedTicksStillRun) {
    auto job = std::make_shared<CountingJob>(10, queue);
    job->stopTimer();
    EXPECT_FALSE(BaseJobTestAccess::hasTimer(*job));

    // Hold the queue so that ticks pile up behind a blocked item.
    std::mutex gate;
    std::unique_lock<std::mutex> hold(gate);
    queue->async([&] { std::lock_guard<std::mutex> wait(gate); });
    job->startJob();
    std::weak_ptr<CountingJob> weak = job;
    clock.advance(10s);
    env.runPending();
    clock.advance(10s);
    env.runPending();
    job->stopTimer();
    job.reset();
    // The two queued ticks keep the job alive although nobody else holds it.
    {
        auto alive = weak.lock();
        ASSERT_NE(alive, nullptr);
        EXPECT_EQ(alive->runs.load(), 0);
    }
    hold.unlock();
    ASSERT_TRUE(queue->drain(5s));
    EXPECT_TRUE(weak.expired());
}

TEST_F(VirtualTimeTest, TimersFireOnTheSchedulingThreadWhileItsLoopRuns) {
    std::atomic<int> fired{0};
    std::thread::id firedOn;
    std::shared_ptr<Timer> timer;
    std::shared_ptr<RunLoopImpl> loop;
    test::Signal scheduled;
    std::thread host([&] {
        loop = detail::RunLoopAccess::current();
        timer = Timer::scheduledTimer(10s, [&] {
            firedOn = std::this_thread::get_id();
            ++fired;
        });
        scheduled.notify();
        RunLoop::current().run();
    });
    ASSERT_TRUE(scheduled.wait());
    clock.advance(10s);
    ASSERT_TRUE(test::waitUntil([&] { return fired.load() == 1; }));
    clock.advance(10s);
    ASSERT_TRUE(test::waitUntil([&] { return fired.load() == 2; }));
    timer->invalidate();
    clock.advance(30s);
    // A posted task runs after anything the advance could have fired.
    test::Signal posted;
    loop->post([&] { posted.notify(); });
    ASSERT_TRUE(posted.wait());
    EXPECT_EQ(fired.load(), 2);
    const auto hostId = host.get_id();
    loop->stop();
    host.join();
    EXPECT_EQ(firedOn, hostId);
}

}  // namespace
