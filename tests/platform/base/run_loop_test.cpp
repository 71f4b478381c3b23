#include "Collector.h"
#include "TaskEnvironment.h"
#include "TestSupport.h"
#include "platform/base/RunLoop.h"

#include <LumvexSdk/LumvexSdk.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
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

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// The descriptor tells a host's loop that there is work: a posted task, a new timer, a
// virtual clock that moved. Work done empties it.
TEST(RunLoopTest, TheEventDescriptorIsReadableExactlyWhileWorkMayWait) {
    test::TaskEnvironment env;
    auto& loop = RunLoop::current();
    const int fd = loop.eventDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(loop.eventDescriptor(), fd);
    loop.runPending();
    EXPECT_FALSE(readable(fd));
    EXPECT_EQ(loop.nextTimeout(), std::nullopt);

    int ran = 0;
    std::thread([&loop, &ran] { loop.post([&ran] { ++ran; }); }).join();
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(loop.nextTimeout(), 0ms);
    loop.runPending();
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(readable(fd));

    auto timer = Timer::scheduledTimer(1500us, [&ran] { ++ran; });
    EXPECT_TRUE(readable(fd));
    loop.runPending();
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(loop.nextTimeout(), 2ms) << "rounded up, so that a host never wakes too early";
    env.clock().advance(1ms);
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(loop.nextTimeout(), 1ms);
    loop.runPending();
    EXPECT_EQ(ran, 1);
    env.clock().advance(1ms);
    EXPECT_EQ(loop.nextTimeout(), 0ms);
    loop.runPending();
    EXPECT_EQ(ran, 2);
    timer->invalidate();
    EXPECT_EQ(loop.nextTimeout(), std::nullopt);
}

// The run loop as a GLib source, as a host that runs GLib drives it.
struct RunLoopSource {
    GSource source;
    RunLoop* loop;
    gpointer tag;
};

gboolean prepareRunLoop(GSource* source, gint* timeout) {
    const auto next = reinterpret_cast<RunLoopSource*>(source)->loop->nextTimeout();
    *timeout = next ? static_cast<gint>(std::min<std::int64_t>(next->count(), G_MAXINT)) : -1;
    return next && next->count() == 0;
}

gboolean checkRunLoop(GSource* source) {
    auto* self = reinterpret_cast<RunLoopSource*>(source);
    if (g_source_query_unix_fd(source, self->tag) & G_IO_IN) {
        return TRUE;
    }
    const auto next = self->loop->nextTimeout();
    return next && next->count() == 0;
}

gboolean dispatchRunLoop(GSource* source, GSourceFunc, gpointer) {
    reinterpret_cast<RunLoopSource*>(source)->loop->runPending();
    return G_SOURCE_CONTINUE;
}

GSourceFuncs runLoopFuncs = {prepareRunLoop, checkRunLoop, dispatchRunLoop, nullptr, nullptr, nullptr};

// The library started on a thread that runs a GLib main loop: its upload timer fires, and
// tasks posted from other threads run, on that thread, woken by the descriptor alone, on
// virtual time.
TEST(RunLoopTest, AGLibMainLoopDrivesTheLibrarysTimersAndDeliveries) {
    test::TaskEnvironment env;
    test::IsolatedHome home;
    home.writeInfoPlist("<key>lumvex_api_key</key><string>key</string>");
    test::Collector collector;
    GMainContext* context = g_main_context_new();
    GMainLoop* mainLoop = g_main_loop_new(context, FALSE);
    auto* source = reinterpret_cast<RunLoopSource*>(g_source_new(&runLoopFuncs, sizeof(RunLoopSource)));
    source->loop = &RunLoop::current();
    source->tag = g_source_add_unix_fd(&source->source, source->loop->eventDescriptor(), G_IO_IN);
    g_source_attach(&source->source, context);
    // Ends a loop that nothing woke, instead of letting the test hang.
    bool timedOut = false;
    GSource* watchdog = g_timeout_source_new_seconds(10);
    g_source_set_callback(
        watchdog,
        [](gpointer data) -> gboolean {
            auto* state = static_cast<std::pair<bool*, GMainLoop*>*>(data);
            *state->first = true;
            g_main_loop_quit(state->second);
            return G_SOURCE_CONTINUE;
        },
        new std::pair<bool*, GMainLoop*>(&timedOut, mainLoop),
        [](gpointer data) { delete static_cast<std::pair<bool*, GMainLoop*>*>(data); });
    g_source_attach(watchdog, context);

    auto& sdk = Lumvex::shared();
    ASSERT_EQ(sdk.start(LumvexConfiguration::Builder()
                            .pushFormat(PushFormat::DEVICE_INFO_ONLY)
                            .pushFrequency(1)
                            .endpoint(collector.baseUrl())
                            .build()),
              std::nullopt);
    EXPECT_EQ(RunLoop::current().nextTimeout(), 60s);
    // Scheduled after the upload timer, due with it: when it ends the loop, that one has fired.
    int fired = 0;
    auto timer = Timer::scheduledTimer(60s, [&] {
        ++fired;
        g_main_loop_quit(mainLoop);
    });
    std::thread time([&env] { env.clock().advance(60s); });
    g_main_loop_run(mainLoop);
    time.join();
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(test::waitUntil([&] { return collector.uploads("key").size() == 1; }));
    EXPECT_EQ(RunLoop::current().nextTimeout(), 60s);

    // A delivery from another thread runs on the loop's thread.
    std::thread::id ranOn;
    std::thread poster([&] {
        RunLoop::current();  // the poster's own loop is not the one posted to
        source->loop->post([&] {
            ranOn = std::this_thread::get_id();
            g_main_loop_quit(mainLoop);
        });
    });
    g_main_loop_run(mainLoop);
    poster.join();
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    sdk.stop();
    timer->invalidate();
    g_source_destroy(watchdog);
    g_source_unref(watchdog);
    g_source_destroy(&source->source);
    g_source_unref(&source->source);
    g_main_loop_unref(mainLoop);
    g_main_context_unref(context);
}

}  // namespace
