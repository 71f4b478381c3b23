#include "engine/LumvexEngine.h"
#include "engine/TraceJob.h"
#include "platform/base/L.h"
#include "platform/base/RunLoop.h"
#include "store/TraceRepository.h"

#include "EngineTestAccess.h"
#include "Gpsd.h"
#include "SamplingFixture.h"
#include "StdoutFile.h"
#include "Stores.h"
#include "TaskEnvironment.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using namespace std::chrono_literals;
using lumvex::L;
using lumvex::Location;
using lumvex::TraceJob;
using lumvex::TraceRepository;
using lumvex::platform::LocationManager;
using lumvex::test::clearStoredTraces;
using lumvex::test::FakeReceiver;
using lumvex::test::Gpsd;
using lumvex::test::StdoutFile;
using lumvex::test::storedRecords;

namespace {

using TraceJobTest = lumvex::test::SamplingTest;
using lumvex::test::kFailure;
using lumvex::test::kServicesOffLine;
using lumvex::test::storedPositions;

TEST_F(TraceJobTest, StoresTheCurrentPositionAtEveryTickWhileTheDeviceMoves) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    makeJob();
    EXPECT_EQ(manager().desiredAccuracy(), 1.7976931348623157e308);

    // Nothing happens before the first full interval.
    env_.clock().advance(9s);
    env_.runPending();
    ASSERT_TRUE(queue_->drain(10s));
    EXPECT_EQ(gpsd.log().find("?POLL"), std::string::npos) << "gpsd was asked early";

    feed(gpsd, receiver, 0);
    env_.clock().advance(1s);
    env_.runPending();
    ASSERT_TRUE(queue_->drain(10s));
    ASSERT_TRUE(env_.runUntil([] { return storedPositions().size() == 1; }));
    expectStored(0, 0);

    for (std::size_t epoch = 1; epoch < 4; ++epoch) {
        feed(gpsd, receiver, epoch);
        tick();
        ASSERT_TRUE(env_.runUntil([&] { return storedPositions().size() == epoch + 1; }))
            << "stored " << storedPositions().size();
        expectStored(epoch, epoch);
    }
}

TEST_F(TraceJobTest, AFreshFixOfTheLocationServiceIsStoredWithoutAskingGpsd) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    feed(gpsd, receiver, 5);
    // Someone else in the process obtained a fix a few seconds before the job's tick.
    struct Quiet : lumvex::platform::LocationManagerDelegate {
        lumvex::test::Signal done;
        void didUpdateLocations(LocationManager&, const std::vector<Location>&) override { done.notify(); }
        void didFailWithError(LocationManager&, const lumvex::platform::LocationError&) override {
            done.notify();
        }
    };
    auto other = std::make_shared<LocationManager>();
    auto quiet = std::make_shared<Quiet>();
    other->setDelegate(quiet);
    makeJob();
    env_.clock().advance(7s);
    other->requestLocation();
    ASSERT_TRUE(env_.runUntil([&] { return quiet->done.count() == 1; }));
    gpsd.kill();  // a request would now fail

    StdoutFile log;
    env_.clock().advance(3s);  // the first tick, three seconds after that fix
    env_.runPending();
    ASSERT_TRUE(queue_->drain(10s));
    EXPECT_EQ(storedPositions().size(), 1u);  // stored on the queue, synchronously
    expectStored(0, 5);
    EXPECT_EQ(log.count(kFailure), 0u);
}

TEST_F(TraceJobTest, NoFixLogsTheFailureAndStoresNothing) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    ASSERT_TRUE(gpsd.feedNoFix(receiver));
    makeJob();

    StdoutFile log;
    // The tick's request waits on the queue for the clock, so the queue is not waited for.
    env_.clock().advance(std::chrono::seconds(lumvex::LumvexEngine::TRACE_INTERVAL_SECONDS));
    env_.runPending();
    ASSERT_TRUE(gpsd.waitForLog("?POLL;")) << gpsd.log();
    env_.clock().advance(LocationManager::DEFAULT_REQUEST_TIMEOUT);
    ASSERT_TRUE(env_.runUntil([&] { return log.count(kFailure) == 1; }));
    EXPECT_NE(log.text().find("TraceJob.cpp:locationManager(_:didFailWithError:):"), std::string::npos);
    EXPECT_NE(log.text().find(kFailure + "No location fix from gpsd at 127.0.0.1:" + gpsd.port()),
              std::string::npos)
        << log.text();
    EXPECT_TRUE(storedPositions().empty());
}

// The tick's request runs on the queue; stopping the job ends it through its wake
// descriptor, though the clock that would reach its deadline never moves, and nothing is
// logged for it.
TEST_F(TraceJobTest, AStopEndsTheRequestUnderWayOnTheQueue) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    ASSERT_TRUE(gpsd.feedNoFix(receiver));
    makeJob();

    StdoutFile log;
    env_.clock().advance(std::chrono::seconds(lumvex::LumvexEngine::TRACE_INTERVAL_SECONDS));
    env_.runPending();
    ASSERT_TRUE(gpsd.waitForLog("?POLL;")) << gpsd.log();
    job_->stopTimer();
    EXPECT_TRUE(queue_->drain(10s));
    EXPECT_EQ(log.count(kFailure), 0u) << log.text();
    EXPECT_TRUE(storedPositions().empty());
}

TEST_F(TraceJobTest, AbsentGpsdGivesErrorsUntilItStartsThenFixes) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    makeJob();

    StdoutFile log;
    for (std::size_t i = 1; i <= 2; ++i) {
        tick();
        ASSERT_TRUE(env_.runUntil([&] { return log.count(kFailure) == i; }));
    }
    EXPECT_NE(log.text().find(kFailure + "Cannot connect to gpsd at 127.0.0.1:" + gpsd.port()),
              std::string::npos)
        << log.text();
    EXPECT_TRUE(storedPositions().empty());

    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    feed(gpsd, receiver, 2);
    tick();
    ASSERT_TRUE(env_.runUntil([] { return storedPositions().size() == 1; }));
    expectStored(0, 2);
    EXPECT_EQ(log.count(kFailure), 2u);
}

TEST_F(TraceJobTest, GpsdKilledInTheMiddleGivesErrorsAndSamplingRecovers) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    makeJob();

    feed(gpsd, receiver, 0);
    tick();
    ASSERT_TRUE(env_.runUntil([] { return storedPositions().size() == 1; }));

    StdoutFile log;
    gpsd.kill();
    tick();
    ASSERT_TRUE(env_.runUntil([&] { return log.count(kFailure) == 1; }));
    tick();
    ASSERT_TRUE(env_.runUntil([&] { return log.count(kFailure) == 2; }));
    EXPECT_EQ(storedPositions().size(), 1u);

    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    feed(gpsd, receiver, 1);
    tick();
    ASSERT_TRUE(env_.runUntil([] { return storedPositions().size() == 2; }));
    expectStored(1, 1);
}

TEST_F(TraceJobTest, ServicesOffGiveOneErrorLineATickAndTheDelegateIsAttachedWhenTheyComeOn) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    feed(gpsd, receiver, 4);
    lumvex::platform::setLocationServicesEnabled(false);
    makeJob();
    EXPECT_EQ(manager().delegate(), nullptr);
    EXPECT_EQ(manager().desiredAccuracy(), LocationManager::ACCURACY_BEST);

    {
        StdoutFile log;
        for (int i = 0; i < 3; ++i) {
            tick();
        }
        env_.runPending();
        EXPECT_EQ(log.count(kServicesOffLine), 3u) << log.text();
        EXPECT_EQ(log.count(" ERROR: !!\n"), 3u) << log.text();
        EXPECT_EQ(log.count(kFailure), 0u);
    }
    EXPECT_TRUE(storedPositions().empty());
    EXPECT_EQ(gpsd.log().find("?POLL"), std::string::npos) << "gpsd was asked";

    lumvex::platform::setLocationServicesEnabled(true);
    tick();
    EXPECT_NE(manager().delegate(), nullptr);
    EXPECT_EQ(manager().desiredAccuracy(), TraceJob::DESIRED_ACCURACY);
    ASSERT_TRUE(env_.runUntil([] { return storedPositions().size() == 1; }));
    expectStored(0, 4);
}

TEST_F(TraceJobTest, ADeliveryOfThreeFixesStoresOnlyTheFirst) {
    FakeReceiver first, second, third;
    Gpsd gpsd({first.devicePath(), second.devicePath(), third.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    feed(gpsd, first, 1);
    feed(gpsd, second, 3);
    feed(gpsd, third, 6);
    makeJob();

    tick();
    ASSERT_TRUE(env_.runUntil([] { return storedPositions().size() == 1; }));
    // The job has had its answer; a second store would come from the same delivery.
    EXPECT_TRUE(queue_->drain(10s));
    env_.runPending();
    EXPECT_EQ(storedPositions().size(), 1u);
    expectStored(0, 1);

    job_->didUpdateLocations(manager(), {});
    EXPECT_EQ(storedPositions().size(), 1u);
}

TEST_F(TraceJobTest, AFixIsStoredOnceEvenWhenItsRequestWasSlowAndTheNextTickAsksAgain) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    ASSERT_TRUE(gpsd.feedNoFix(receiver));
    makeJob();
    // The calendar reads the walk's first epoch (2024-06-15 09:30:00 UTC) at the first tick.
    env_.clock().setWallTime(lumvex::platform::Clock::WallTime(std::chrono::seconds(1718443800 - 10)));
    env_.clock().advance(std::chrono::seconds(lumvex::LumvexEngine::TRACE_INTERVAL_SECONDS));
    env_.runPending();
    ASSERT_TRUE(gpsd.waitForLog("\"json\":true};?POLL;")) << gpsd.log();  // the request waits
    env_.clock().advance(1500ms);
    feed(gpsd, receiver, 0);
    ASSERT_TRUE(env_.runUntil([] { return storedPositions().size() == 1; }));

    // Received 8.5 s before the next tick but measured 10 s before it: too old to stand for
    // the position, so gpsd is asked, and answers with the fix it still holds.
    env_.clock().advance(8500ms);
    env_.runPending();
    ASSERT_TRUE(queue_->drain(10s));
    ASSERT_TRUE(gpsd.waitForLog("?POLL;", 3)) << gpsd.log();
    const auto firstSerial = manager().deliveredSerial();
    ASSERT_TRUE(env_.runUntil([&] { return manager().deliveries() == 2; }));
    EXPECT_EQ(manager().deliveredSerial(), firstSerial);  // the same fix
    ASSERT_TRUE(queue_->drain(10s));
    EXPECT_EQ(storedPositions().size(), 1u);

    feed(gpsd, receiver, 1);
    tick();
    ASSERT_TRUE(env_.runUntil([] { return storedPositions().size() == 2; }));
    expectStored(1, 1);
}

TEST_F(TraceJobTest, ADeliveredFixIsStoredOnTheQueueNotOnTheHostsThread) {
    makeJob();
    lumvex::test::Signal release, blocked;
    queue_->async([&] {
        blocked.notify();
        release.wait();
    });
    ASSERT_TRUE(blocked.wait());
    Location fix;
    fix.latitude = 52.5;
    fix.longitude = 13.4;
    job_->didUpdateLocations(manager(), {fix});  // as the run loop delivers it
    EXPECT_TRUE(storedPositions().empty());
    release.notify();
    ASSERT_TRUE(queue_->drain(10s));
    EXPECT_EQ(storedPositions().size(), 1u);
}

class EngineSamplingTest : public TraceJobTest {
protected:
    void SetUp() override {
        TraceJobTest::SetUp();
        home_.writeInfoPlist("<key>lumvex_api_key</key><string>key</string>");
    }
    void TearDown() override {
        engine_.stop();
        TraceJobTest::TearDown();
    }
    void engineTick() {
        env_.clock().advance(std::chrono::seconds(lumvex::LumvexEngine::TRACE_INTERVAL_SECONDS));
        env_.runPending();
        ASSERT_TRUE(lumvex::LumvexEngineTestAccess::queue(engine_)->drain(10s));
    }
    lumvex::LumvexEngine engine_;
};

TEST_F(EngineSamplingTest, DeviceInfoOnlyNeverTouchesTheLocationService) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    feed(gpsd, receiver, 0);

    auto config = lumvex::LumvexConfiguration::Builder()
                      .pushFormat(lumvex::PushFormat::DEVICE_INFO_ONLY)
                      .enableDebugLog(true)
                      .build();
    ASSERT_FALSE(engine_.start(config).has_value());
    EXPECT_EQ(lumvex::LumvexEngineTestAccess::traceJob(engine_), nullptr);
    StdoutFile log;
    for (int i = 0; i < 3; ++i) {
        engineTick();
    }
    EXPECT_TRUE(storedPositions().empty());
    EXPECT_EQ(log.count(kFailure), 0u);
    EXPECT_EQ(log.count(kServicesOffLine), 0u);
    EXPECT_EQ(gpsd.log().find("?POLL"), std::string::npos) << "gpsd was asked";
}

TEST_F(EngineSamplingTest, OtherFormatsSampleEveryTenSeconds) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());

    for (auto format : {lumvex::PushFormat::LOCATION_ONLY, lumvex::PushFormat::LOCATION_AND_DEVICE_INFO}) {
        clearStoredTraces();
        auto config = lumvex::LumvexConfiguration::Builder().pushFormat(format).build();
        ASSERT_FALSE(engine_.start(config).has_value());
        ASSERT_NE(lumvex::LumvexEngineTestAccess::traceJob(engine_), nullptr);
        for (std::size_t epoch = 0; epoch < 2; ++epoch) {
            feed(gpsd, receiver, epoch + (format == lumvex::PushFormat::LOCATION_ONLY ? 0 : 4));
            engineTick();
            ASSERT_TRUE(env_.runUntil([&] { return storedPositions().size() == epoch + 1; }));
        }
        engine_.stop();
        EXPECT_EQ(lumvex::LumvexEngineTestAccess::traceJob(engine_), nullptr);
    }
}

}  // namespace
