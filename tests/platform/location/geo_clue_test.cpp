#include "platform/location/GeoClue.h"
#include "platform/location/LocationManager.h"

#include "GeoClue.h"
#include "SamplingFixture.h"
#include "StdoutFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using lumvex::test::kFailure;
using lumvex::test::kServicesOffLine;
using lumvex::test::StdoutFile;
using lumvex::test::storedPositions;

namespace {

// Sampling from a real GeoClue on a private bus, fed the walk over its NMEA socket.
class GeoClueSamplingTest : public lumvex::test::SamplingTest {
protected:
    void startGeoClue(std::vector<std::string> epochs, const char* desktopId) {
        service_ = std::make_unique<lumvex::test::GeoClueService>(std::move(epochs));
        const auto why = service_->start();
        if (!why.empty() && service_->unavailable()) {
            GTEST_SKIP() << why;
        }
        ASSERT_EQ(why, "");
        lumvex::platform::setGeoClueBusAddress(service_->busAddress());
        lumvex::platform::useGeoClue(desktopId);
    }
    void TearDown() override {
        SamplingTest::TearDown();
        service_.reset();
        lumvex::platform::setGeoClueBusAddress("");
        lumvex::platform::useGpsd("localhost", "2947");
    }
    /// Every stored fix is one the feeder sent, in the order it sent them, none twice.
    void expectStoredFollowTheTrack() {
        const auto stored = storedPositions();
        const auto sent = service_->feeder()->sent();
        std::size_t next = 0;
        for (const auto& [lat, lon] : stored) {
            while (next < sent.size() &&
                   (std::fabs(sent[next].first - lat) > 1e-6 || std::fabs(sent[next].second - lon) > 1e-6)) {
                ++next;
            }
            ASSERT_LT(next, sent.size())
                << "stored " << lat << "," << lon << " was not sent, or not in order";
            ++next;
        }
    }
    /// One tick a fix: after each, the next of fixes `first` to `last` is stored.
    void storeByTicks(std::size_t first, std::size_t last, const StdoutFile& log) {
        for (std::size_t i = first; i <= last; ++i) {
            tick();
            ASSERT_TRUE(env_.runUntil([&] { return storedPositions().size() == i; }))
                << log.text() << service_->logs();
        }
    }
    std::unique_ptr<lumvex::test::GeoClueService> service_;
};

TEST_F(GeoClueSamplingTest, StoredFixesFollowTheTrackAndGeoClueIsPickedUpAgainAfterItLeaves) {
    startGeoClue(walk_, lumvex::test::GeoClueService::ALLOWED_ID);
    makeJob();
    StdoutFile log;
    ASSERT_NO_FATAL_FAILURE(storeByTicks(1, 3, log));
    expectStoredFollowTheTrack();
    EXPECT_EQ(log.count("Location source: GeoClue, as \"lumvex-test-client\""), 1u) << log.text();

    service_->stopDaemon();
    tick();
    ASSERT_TRUE(env_.runUntil([&] { return log.count(kFailure) == 1; }));
    EXPECT_EQ(storedPositions().size(), 3u);

    ASSERT_TRUE(service_->startDaemon()) << service_->logs();
    ASSERT_NO_FATAL_FAILURE(storeByTicks(4, 4, log));
    expectStoredFollowTheTrack();
    EXPECT_EQ(log.count(kFailure), 1u) << log.text();
}

// GeoClue stamps its fixes with its receiver's calendar, which is corrected an hour back
// between two fixes: with the device's own, so that from then on fresh fixes read older than
// the last one GeoClue gave; or alone, so that the first fix read an hour ahead of the
// device's calendar. Either way the fixes after the correction are fresh, and stored.
TEST_F(GeoClueSamplingTest, AfterACalendarIsSetBackFreshFixesAreStillStored) {
    using std::chrono::minutes;
    const struct {
        const char* what;
        minutes deviceBehind;  // of real time, the receiver's; ticks run faster than that
        std::size_t fixesBefore;
        minutes deviceSetBack;  // at the correction
    } cases[] = {
        {"the device's calendar too", minutes(1), 2, minutes(60)},
        {"the receiver's calendar alone, an hour ahead", minutes(61), 1, minutes(0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (job_) {
            job_->stopTimer();
            job_.reset();
        }
        service_.reset();
        ASSERT_TRUE(lumvex::test::clearStoredTraces());
        startGeoClue(walk_, lumvex::test::GeoClueService::ALLOWED_ID);
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        env_.clock().setWallTime(std::chrono::system_clock::now() - c.deviceBehind);
        makeJob();
        StdoutFile log;
        ASSERT_NO_FATAL_FAILURE(storeByTicks(1, c.fixesBefore, log));
        // GeoClue restarts with the corrected calendar, as it would after a reboot; a running
        // one would also drop its own fixes that read older than its last.
        service_->stopDaemon();
        service_->feeder()->setClockOffset(-minutes(60));
        env_.clock().setWallTime(env_.clock().wallNow() - c.deviceSetBack);
        ASSERT_TRUE(service_->startDaemon()) << service_->logs();
        ASSERT_NO_FATAL_FAILURE(storeByTicks(c.fixesBefore + 1, c.fixesBefore + 2, log));
        expectStoredFollowTheTrack();
        EXPECT_EQ(log.count(kFailure), 0u) << log.text();
    }
}

TEST_F(GeoClueSamplingTest, WithoutAChoiceTheFirstTickTakesGeoClueWhereTheBusOffersItElseGpsd) {
    startGeoClue(walk_, lumvex::test::GeoClueService::ALLOWED_ID);
    lumvex::platform::chooseLocationSourceAutomatically();
    makeJob();
    StdoutFile log;
    ASSERT_NO_FATAL_FAILURE(storeByTicks(1, 1, log));
    // GeoClue knows the application by its executable's name.
    EXPECT_EQ(log.count("Location source: GeoClue, as \"geo_clue_test\""), 1u) << log.text();
    expectStoredFollowTheTrack();

    // No system bus, or none with GeoClue: gpsd at its default address.
    job_->stopTimer();
    job_.reset();
    lumvex::platform::setGeoClueBusAddress("unix:path=" + home_.bundleDir() + "/no-bus");
    lumvex::platform::chooseLocationSourceAutomatically();
    makeJob();
    tick();
    ASSERT_TRUE(env_.runUntil([&] { return log.count("Location source: gpsd at localhost:2947") == 1; }))
        << log.text();
}

TEST_F(GeoClueSamplingTest, ARefusalIsLocationServicesOff) {
    startGeoClue(walk_, lumvex::test::GeoClueService::REFUSED_ID);
    makeJob();
    StdoutFile log;
    tick();
    ASSERT_TRUE(env_.runUntil([&] { return log.count(" ERROR: !!\n") == 1; }))
        << log.text() << service_->logs();
    EXPECT_EQ(log.count(kServicesOffLine), 1u) << log.text();
    EXPECT_EQ(log.count(kFailure), 0u) << log.text();
    EXPECT_TRUE(storedPositions().empty());
    // The operator learns GeoClue's own reason, by its bus error's name, before that line.
    const auto text = log.text();
    const auto reason = text.find("GeoClue.cpp:requestLocation():");
    ASSERT_NE(reason, std::string::npos) << text;
    EXPECT_NE(text.find(" ERROR: GeoClue refused ", reason), std::string::npos) << text;
    EXPECT_NE(text.find("org.freedesktop.DBus.Error.", reason), std::string::npos) << text;
    EXPECT_LT(reason, text.find(kServicesOffLine)) << text;
}

TEST_F(GeoClueSamplingTest, NoSourceIsNoFix) {
    startGeoClue({}, lumvex::test::GeoClueService::ALLOWED_ID);
    makeJob();
    StdoutFile log;
    // The tick's request waits on the queue for the clock, which is moved on until the
    // request gives up, however far it had come when the clock first moved.
    env_.clock().advance(std::chrono::seconds(lumvex::LumvexEngine::TRACE_INTERVAL_SECONDS));
    env_.runPending();
    ASSERT_TRUE(env_.runUntil([&] {
        env_.clock().advance(std::chrono::seconds(1));
        return log.count(kFailure) == 1;
    })) << log.text()
        << service_->logs();
    EXPECT_NE(log.text().find(kFailure + "no location from GeoClue in time"), std::string::npos)
        << log.text();
    EXPECT_TRUE(storedPositions().empty());
}

}  // namespace
