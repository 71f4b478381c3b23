#include "TestSupport.h"
#include "platform/base/RunLoop.h"
#include "platform/base/SerialQueue.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

using namespace lumvex;
using namespace std::chrono_literals;

namespace {

// Items small enough to be kept inline and larger ones alike, each released once it ran.
TEST(SerialQueueTest, RunsItemsOneAtATimeInSubmissionOrderOffTheCallersThread) {
    struct Record {
        std::vector<int> order;
        std::atomic<int> inside{0};
        std::atomic<bool> overlapped{false};
        std::atomic<bool> onCaller{false};
        std::thread::id caller = std::this_thread::get_id();
        void run(int i) {
            if (++inside > 1) {
                overlapped = true;
            }
            if (std::this_thread::get_id() == caller) {
                onCaller = true;
            }
            order.push_back(i);
            --inside;
        }
    };
    platform::SerialQueue queue;
    const auto record = std::make_shared<Record>();
    for (int i = 0; i < 200; ++i) {
        if (i % 2 == 0) {
            queue.async([record, i] { record->run(i); });  // inline
        } else {
            queue.async([record, i, large = std::array<char, 64>{}] { record->run(i + large[0]); });
        }
    }
    ASSERT_TRUE(queue.drain(5s));
    EXPECT_EQ(record.use_count(), 1);
    ASSERT_EQ(record->order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(record->order[static_cast<std::size_t>(i)], i);
    }
    EXPECT_FALSE(record->overlapped);
    EXPECT_FALSE(record->onCaller);
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

// Durable items, small and large, are taken by finishDurable onto the caller's thread in
// their order, and only they: the others run on the worker afterwards, in theirs. The count
// given with each durable item moves once for each.
TEST(SerialQueueTest, FinishDurableTakesOnlyTheDurableItemsInOrderAndCountsEach) {
    platform::SerialQueue queue;
    test::Signal inside;
    test::Signal release;
    ASSERT_TRUE(queue.async([&] {
        inside.notify();
        release.wait();
    }));
    ASSERT_TRUE(inside.wait());
    // Each item, and whether it ran on this thread; written by one thread at a time.
    std::vector<std::pair<int, bool>> ran;
    const auto caller = std::this_thread::get_id();
    std::atomic<std::uint64_t> accepted{0};
    std::vector<std::pair<int, bool>> expected;
    for (int i = 0; i < 40; ++i) {
        platform::Task work = [r = &ran, caller, i] {
            r->emplace_back(i, std::this_thread::get_id() == caller);
        };
        if (i % 2 == 1) {
            work = [r = &ran, caller, i, large = std::array<char, 64>{}] {
                r->emplace_back(i + large[0], std::this_thread::get_id() == caller);
            };
        }
        if (i % 3 == 0) {
            ASSERT_TRUE(queue.async(std::move(work)));
        } else {
            ASSERT_TRUE(queue.asyncDurable(std::move(work), &accepted));
            expected.emplace_back(i, true);
        }
    }
    EXPECT_EQ(accepted, expected.size());
    ASSERT_TRUE(queue.finishDurable(5s));
    release.notify();
    ASSERT_TRUE(queue.drain(5s));
    for (int i = 0; i < 40; i += 3) {
        expected.emplace_back(i, false);
    }
    EXPECT_EQ(ran, expected);
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
