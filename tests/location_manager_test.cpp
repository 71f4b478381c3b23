#include "platform/LocationManager.h"
#include "platform/RunLoop.h"

#include "Gpsd.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

using namespace std::chrono_literals;
using lumvex::Location;
using lumvex::platform::LocationError;
using lumvex::platform::LocationManager;
using lumvex::platform::LocationManagerDelegate;
using lumvex::test::FakeReceiver;
using lumvex::test::Gpsd;

namespace {

class Recorder final : public LocationManagerDelegate {
public:
    void didUpdateLocations(LocationManager&, const std::vector<Location>& locations) override {
        std::lock_guard<std::mutex> guard(mutex_);
        updates_.push_back(locations);
    }
    void didFailWithError(LocationManager&, const LocationError& error) override {
        std::lock_guard<std::mutex> guard(mutex_);
        errors_.push_back(error);
    }
    std::size_t outcomes() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return updates_.size() + errors_.size();
    }
    std::vector<std::vector<Location>> updates() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return updates_;
    }
    std::string describeErrors() const {
        std::lock_guard<std::mutex> guard(mutex_);
        std::string text;
        for (const auto& e : errors_) {
            text += e.description + "\n";
        }
        return text;
    }
    std::vector<LocationError> errors() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return errors_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<Location>> updates_;
    std::vector<LocationError> errors_;
};

// Deliveries arrive on this thread's run loop, so the test runs it while it waits.
bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    return lumvex::test::waitUntil(
        [&] {
            lumvex::detail::RunLoopAccess::current()->runPending();
            return condition();
        },
        timeout);
}

class LocationManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = std::make_shared<lumvex::platform::VirtualClock>();
        lumvex::platform::setClock(clock_);
        lumvex::platform::setLocationServicesEnabled(true);
        manager_ = std::make_shared<LocationManager>();
        manager_->setDelegate(recorder_);
    }
    void TearDown() override {
        manager_.reset();
        lumvex::platform::setLocationServicesEnabled(true);
        lumvex::platform::setClock(nullptr);
    }

    /// Requests a fix and waits for the outcome.
    bool request() {
        const auto before = recorder_->outcomes();
        manager_->requestLocation();
        return pumpUntil([&] { return recorder_->outcomes() > before; });
    }

    std::shared_ptr<lumvex::platform::VirtualClock> clock_;
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
    std::shared_ptr<LocationManager> manager_;
    const std::vector<std::string> walk_ =
        lumvex::test::readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/walk.nmea");
    const std::vector<std::string> nofix_ =
        lumvex::test::readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/nofix.nmea");
};

TEST_F(LocationManagerTest, EachRequestGetsTheFixGpsdHoldsNow) {
    ASSERT_EQ(walk_.size(), 8u);
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    EXPECT_FALSE(manager_->location().has_value());

    for (std::size_t i = 0; i < 3; ++i) {
        const auto [lat, lon] = lumvex::test::positionOf(walk_[i]);
        ASSERT_TRUE(gpsd.feedFix(receiver, walk_[i], lat, lon)) << gpsd.log();
        ASSERT_TRUE(request());
        ASSERT_EQ(recorder_->updates().size(), i + 1) << recorder_->describeErrors();
        const auto fixes = recorder_->updates().back();
        ASSERT_EQ(fixes.size(), 1u);
        EXPECT_NEAR(fixes[0].latitude, lat, 1e-7);
        EXPECT_NEAR(fixes[0].longitude, lon, 1e-7);
    }

    // The last fix obtained stays the manager's location until it is too old.
    manager_->setMaximumFixAge(10s);
    const auto [lastLat, lastLon] = lumvex::test::positionOf(walk_[2]);
    ASSERT_TRUE(manager_->location().has_value());
    EXPECT_NEAR(manager_->location()->latitude, lastLat, 1e-7);
    EXPECT_NEAR(manager_->location()->longitude, lastLon, 1e-7);
    // Another manager sees it too: it is what the location service holds.
    auto other = std::make_shared<LocationManager>();
    EXPECT_TRUE(other->location().has_value());
    clock_->advance(9s);
    EXPECT_TRUE(manager_->location().has_value());
    clock_->advance(1s);
    EXPECT_FALSE(manager_->location().has_value());
}

TEST_F(LocationManagerTest, NoFixWithinTheTimeoutIsAnError) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    ASSERT_TRUE(gpsd.feed(receiver, nofix_[0] + nofix_[1], [](const nlohmann::json& tpv) {
        return tpv.value("mode", 0) == 1;
    })) << gpsd.log();

    manager_->requestLocation();
    // The request waits on the installed clock: nothing comes until its timeout has passed.
    EXPECT_FALSE(pumpUntil([&] { return recorder_->outcomes() > 0; }, 300ms));
    clock_->advance(LocationManager::DEFAULT_REQUEST_TIMEOUT);
    ASSERT_TRUE(pumpUntil([&] { return recorder_->outcomes() > 0; }));
    ASSERT_EQ(recorder_->errors().size(), 1u);
    EXPECT_EQ(recorder_->errors()[0].code, LocationError::Code::LOCATION_UNKNOWN);
    EXPECT_NE(recorder_->errors()[0].localizedDescription().find("No location fix"), std::string::npos);
    EXPECT_FALSE(manager_->location().has_value());

    // A fix that arrives while a request waits answers it at once.
    const auto [lat, lon] = lumvex::test::positionOf(walk_[0]);
    manager_->requestLocation();
    ASSERT_TRUE(gpsd.feedFix(receiver, walk_[0], lat, lon));
    ASSERT_TRUE(pumpUntil([&] { return recorder_->outcomes() > 1; }));
    ASSERT_EQ(recorder_->updates().size(), 1u);
    EXPECT_NEAR(recorder_->updates()[0][0].latitude, lat, 1e-7);
}

TEST_F(LocationManagerTest, GpsdDyingDuringARequestIsAnErrorAndTheNextRequestReconnects) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    ASSERT_TRUE(gpsd.feed(receiver, nofix_[0] + nofix_[1],
                          [](const nlohmann::json& tpv) { return tpv.value("mode", 0) == 1; }));

    manager_->requestLocation();                                          // waits: the receiver has no fix
    ASSERT_TRUE(gpsd.waitForLog("\"json\":true};?POLL;")) << gpsd.log();  // streaming now
    EXPECT_EQ(recorder_->outcomes(), 0u);
    gpsd.kill();
    ASSERT_TRUE(pumpUntil([&] { return recorder_->outcomes() > 0; }));
    ASSERT_EQ(recorder_->errors().size(), 1u);
    EXPECT_EQ(recorder_->errors()[0].code, LocationError::Code::CONNECTION_LOST);

    ASSERT_TRUE(request());
    ASSERT_EQ(recorder_->errors().size(), 2u);
    EXPECT_EQ(recorder_->errors()[1].code, LocationError::Code::SERVICE_UNREACHABLE);

    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    const auto [lat, lon] = lumvex::test::positionOf(walk_[3]);
    ASSERT_TRUE(gpsd.feedFix(receiver, walk_[3], lat, lon));
    ASSERT_TRUE(request());
    ASSERT_EQ(recorder_->updates().size(), 1u);
    EXPECT_NEAR(recorder_->updates()[0][0].latitude, lat, 1e-7);
}

TEST_F(LocationManagerTest, EveryReceiverWithAFixIsDeliveredInGpsdsOrder) {
    FakeReceiver first, second, third;
    Gpsd gpsd({first.devicePath(), second.devicePath(), third.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    FakeReceiver* receivers[] = {&first, &second, &third};
    for (int i = 0; i < 3; ++i) {
        const auto [lat, lon] = lumvex::test::positionOf(walk_[static_cast<std::size_t>(i) * 2]);
        ASSERT_TRUE(gpsd.feedFix(*receivers[i], walk_[static_cast<std::size_t>(i) * 2], lat, lon))
            << gpsd.log();
    }
    ASSERT_TRUE(request());
    ASSERT_EQ(recorder_->updates().size(), 1u);
    const auto fixes = recorder_->updates()[0];
    ASSERT_EQ(fixes.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(fixes[i].latitude, lumvex::test::positionOf(walk_[i * 2]).first, 1e-7);
    }
}

TEST_F(LocationManagerTest, DisabledServicesFailWithoutTouchingGpsd) {
    lumvex::platform::useGpsd("127.0.0.1", lumvex::test::freeTcpPort());
    lumvex::platform::setLocationServicesEnabled(false);
    EXPECT_FALSE(LocationManager::locationServicesEnabled());
    ASSERT_TRUE(request());
    ASSERT_EQ(recorder_->errors().size(), 1u);
    EXPECT_EQ(recorder_->errors()[0].code, LocationError::Code::SERVICES_DISABLED);
    EXPECT_FALSE(manager_->location().has_value());
}

TEST_F(LocationManagerTest, AManagerReleasedWithARequestOutstandingDeliversNothing) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    manager_->requestLocation();  // no fix yet: the request waits
    manager_.reset();             // joins the worker; must not hang
    const auto [lat, lon] = lumvex::test::positionOf(walk_[0]);
    ASSERT_TRUE(gpsd.feedFix(receiver, walk_[0], lat, lon));
    EXPECT_FALSE(pumpUntil([&] { return recorder_->outcomes() > 0; }, 200ms));
}

}  // namespace
