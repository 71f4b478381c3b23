#include "BaseJob.h"
#include "EngineTestAccess.h"
#include "TaskEnvironment.h"
#include "TestSupport.h"
#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "platform/SerialQueue.h"
#include "platform/WorkListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
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

TEST(SerialQueueTest, RunsItemsOneAtATimeInSubmissionOrderOffTheCallersThread) {
    platform::SerialQueue queue;
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> onCaller{false};
    const auto caller = std::this_thread::get_id();
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            if (++inside > 1) {
                overlapped = true;
            }
            if (std::this_thread::get_id() == caller) {
                onCaller = true;
            }
            order.push_back(i);
            --inside;
        });
    }
    ASSERT_TRUE(queue.drain(5s));
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(onCaller);
}

// The item may drop the queue's last owner, and so end the worker, while the push that
// queued it is still waking that worker. Rounds where the worker already sleeps take that
// path; the sanitizers see any touch of the freed queue.
TEST(SerialQueueTest, LastOwnerReleasedFromInsideItsOwnWorkItem) {
    for (int round = 0; round < 200; ++round) {
        auto queue = std::make_shared<platform::SerialQueue>();
        ASSERT_TRUE(queue->drain(5s));  // the worker exists and is about to sleep
        test::Signal done;
        auto* raw = queue.get();
        ASSERT_TRUE(raw->async([q = std::move(queue), &done]() mutable {
            q.reset();
            done.notify();
        }));
        ASSERT_TRUE(done.wait()) << "round " << round;
    }
}

std::atomic<int> heardOnQueue{0};
std::atomic<int> heardOnLoop{0};
std::atomic<bool> itemRan{false};
std::atomic<bool> heardBeforeItemRan{false};
std::thread::id loopThread;
void countWork() {
    if (std::this_thread::get_id() == loopThread) {
        ++heardOnLoop;
        return;
    }
    ++heardOnQueue;
    if (!itemRan) {
        heardBeforeItemRan = true;
    }
}

// A waiter sleeping on the listener must hear of work after it happened, never before it:
// otherwise it looks too early, finds nothing and sleeps through the result.
TEST(WorkListenerTest, HearsOfQueueItemsAfterTheyRanAndOfLoopTasksWhenPostedAndRun) {
    loopThread = std::this_thread::get_id();
    platform::setWorkListener(&countWork);
    platform::SerialQueue queue;
    ASSERT_TRUE(queue.async([] { itemRan = true; }));
    ASSERT_TRUE(queue.drain(5s));
    // The item's report is made before the worker takes the drain's marker.
    EXPECT_GE(heardOnQueue.load(), 1);
    EXPECT_FALSE(heardBeforeItemRan);

    auto& loop = RunLoop::current();
    loop.post([] {});
    EXPECT_EQ(heardOnLoop.load(), 1);
    detail::RunLoopAccess::impl(loop)->runPending();
    EXPECT_EQ(heardOnLoop.load(), 2);

    platform::setWorkListener(nullptr);
    loop.post([] {});
    detail::RunLoopAccess::impl(loop)->runPending();
    EXPECT_EQ(heardOnLoop.load(), 2);
}

// What a work item or a run loop task throws (std::bad_alloc when memory runs out) ends at
// that boundary: the process lives on, and so do the queue and the loop.
TEST(SerialQueueTest, AThrowingItemOrTaskEndsThereAndLaterOnesStillRun) {
    platform::SerialQueue queue;
    std::atomic<int> ran{0};
    queue.async([] { throw std::bad_alloc(); });
    queue.async([] { throw 42; });
    queue.async([&] { ++ran; });
    ASSERT_TRUE(queue.drain(5s));
    EXPECT_EQ(ran, 1);

    auto& loop = RunLoop::current();
    loop.post([] { throw std::runtime_error("host task"); });
    loop.post([&] { ++ran; });
    detail::RunLoopAccess::impl(loop)->runPending();
    EXPECT_EQ(ran, 2);
}

}  // namespace
