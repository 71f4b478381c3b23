#pragma once

// A fixture shared by the suites that sample through a TraceJob on its work queue: gpsd's
// in trace_job_test.cpp and GeoClue's in geo_clue_test.cpp.

#include "engine/LumvexEngine.h"
#include "engine/TraceJob.h"
#include "platform/base/L.h"
#include "platform/base/SerialQueue.h"
#include "platform/location/LocationManager.h"
#include "store/TraceRepository.h"

#include "EngineTestAccess.h"
#include "Gpsd.h"
#include "Stores.h"
#include "TaskEnvironment.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace lumvex::test {

inline const std::string kFailure = "Failed to find user's location: ";
inline const std::string kServicesOffLine = "TraceJob.cpp:onTimeInBackgroundThread():";

/// The positions of the stored fixes, in the order they were stored.
inline std::vector<std::pair<double, double>> storedPositions() {
    std::vector<std::pair<double, double>> positions;
    for (const auto& record : storedRecords()) {
        positions.emplace_back(std::stod(record.at("lat")), std::stod(record.at("lng")));
    }
    return positions;
}

/// Sampling through a real TraceJob on virtual time: a tick is one sampling interval, and
/// what it stored is read back from the trace file.
class SamplingTest : public ::testing::Test {
protected:
    void SetUp() override {
        lumvex::platform::setLocationServicesEnabled(true);
        L::writeLog = true;
        clearStoredTraces();
    }

    void TearDown() override {
        if (job_) {
            job_->stopTimer();
            job_.reset();
        }
        EXPECT_TRUE(queue_->drain(std::chrono::seconds(10)));
        env_.runPending();
        L::writeLog = false;
        lumvex::platform::setLocationServicesEnabled(true);
    }

    platform::LocationManager& manager() { return lumvex::TraceJobTestAccess::locationManager(*job_); }

    void makeJob() {
        job_ =
            TraceJob::create(lumvex::LumvexEngine::TRACE_INTERVAL_SECONDS, queue_, TraceRepository::shared());
        job_->startJob();
    }

    /// One sampling interval passes: the timer fires on this thread and its work runs on the
    /// queue.
    void tick() {
        ASSERT_TRUE(env_.fastForwardBy(std::chrono::seconds(lumvex::LumvexEngine::TRACE_INTERVAL_SECONDS)));
    }

    void feed(Gpsd& gpsd, FakeReceiver& receiver, std::size_t epoch) {
        const auto [lat, lon] = lumvex::test::positionOf(walk_[epoch]);
        ASSERT_TRUE(gpsd.feedFix(receiver, walk_[epoch], lat, lon)) << gpsd.log();
    }

    void expectStored(std::size_t index, std::size_t epoch) {
        const auto stored = storedPositions();
        ASSERT_GT(stored.size(), index);
        const auto [lat, lon] = lumvex::test::positionOf(walk_[epoch]);
        EXPECT_NEAR(stored[index].first, lat, 1e-7);
        EXPECT_NEAR(stored[index].second, lon, 1e-7);
    }

    lumvex::test::IsolatedHome home_;
    std::shared_ptr<lumvex::platform::SerialQueue> queue_ = std::make_shared<lumvex::platform::SerialQueue>();
    lumvex::test::TaskEnvironment env_{queue_};
    std::shared_ptr<TraceJob> job_;
    const std::vector<std::string> walk_ =
        lumvex::test::readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/walk.nmea");
};

}  // namespace lumvex::test
