#include "platform/base/RunLoop.h"
#include "platform/base/SerialQueue.h"
#include "platform/base/WorkListener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace lumvex;
using namespace std::chrono_literals;

namespace {

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

}  // namespace
