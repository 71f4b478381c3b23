#include "engine/PushJob.h"
#include "platform/base/Clock.h"
#include "platform/base/RunLoop.h"
#include "platform/base/SerialQueue.h"
#include "store/TraceRepository.h"
#include "upload/PushRequest.h"

#include "EngineTestAccess.h"
#include "TaskEnvironment.h"
#include "UploadFixture.h"
#include "UploadTestAccess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace lumvex {
namespace {

using namespace std::chrono_literals;
using test::Collector;
using test::PushOutcome;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string PUSH_FAILED_TEXT = "Optional(LumvexSdk.LumvexException.PUSH_FAILED)";

/// Uploads on a virtual clock, to a collector that the default endpoint points at.
class PeriodicUploadTest : public test::UploadFixture {
protected:
    void SetUp() override {
        UploadFixture::SetUp();
        env_.emplace();
    }
    void TearDown() override {
        Lumvex::shared().stop();
        env_.reset();
        PushRequestTestAccess::setDefaultEndpoint(std::nullopt);
        UploadFixture::TearDown();
    }

    /// Moves time on and lets this thread's run loop fire what is due.
    void advance(std::chrono::seconds by) { ASSERT_TRUE(env_->fastForwardBy(by)); }

    void uploadTo(const Collector& collector) {
        PushRequestTestAccess::setDefaultEndpoint(collector.baseUrl());
    }

    // Made in SetUp and ended in TearDown, so that virtual time spans exactly the test body.
    std::optional<test::TaskEnvironment> env_;
    std::shared_ptr<platform::SerialQueue> queue_ = std::make_shared<platform::SerialQueue>();
};

TEST_F(PeriodicUploadTest, UploadsEveryIntervalFromTheFirstOnAndNeverAfterStop) {
    Collector collector;
    uploadTo(collector);
    auto job = std::make_shared<PushJob>(
        UploadContext::process(), configuration(PushFormat::DEVICE_INFO_ONLY, PushRegion::EU, "job-key"),
        1440 * 60, queue_);
    test::StdoutFile log;
    job->startJob();

    advance(86399s);
    ASSERT_TRUE(queue_->drain(10s));
    EXPECT_THAT(log.text(), Not(HasSubstr("sendPush"))) << "nothing before the first interval";

    advance(1s);
    ASSERT_TRUE(queue_->drain(10s));
    ASSERT_TRUE(test::waitUntil([&] { return test::fileExists(specsPath()); }));
    EXPECT_EQ(collector.uploads("job-key").size(), 1u);

    // The next tick finds the description changed and uploads it.
    putSystemFile("/proc/sys/kernel/hostname", "grace-laptop\n");
    const auto recorded = contentOf(specsPath());
    advance(86400s);
    ASSERT_TRUE(queue_->drain(10s));
    ASSERT_TRUE(test::waitUntil([&] { return contentOf(specsPath()) != recorded; }));
    const auto uploads = collector.uploads("job-key");
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[1]["body"]["devices_infos"]["device_name"], "grace-laptop");
    EXPECT_THAT(log.text(), Not(HasSubstr("PushJob.cpp")))
        << "a successful upload makes no line of the job's";

    // After stop, a tick would fail at once on this endpoint and log it on the queue.
    job->stopTimer();
    PushRequestTestAccess::setDefaultEndpoint("not a url");
    putSystemFile("/proc/sys/kernel/hostname", "third-laptop\n");
    advance(86400s * 5);
    ASSERT_TRUE(queue_->drain(10s));
    EXPECT_THAT(log.text(), Not(HasSubstr("Invalid push URL")));
    EXPECT_EQ(collector.uploads().size(), 2u);
}

TEST_F(PeriodicUploadTest, ATickQueuedBeforeStopStillUploads) {
    Collector collector;
    uploadTo(collector);
    auto job = std::make_shared<PushJob>(UploadContext::process(),
                                         configuration(PushFormat::DEVICE_INFO_ONLY), 60, queue_);
    // Hold the queue so that the tick's work waits behind this item.
    std::mutex gate;
    std::unique_lock<std::mutex> closed(gate);
    queue_->async([&gate] { std::lock_guard<std::mutex> wait(gate); });
    job->startJob();
    advance(60s);
    job->stopTimer();
    job.reset();
    closed.unlock();
    ASSERT_TRUE(queue_->drain(10s));
    ASSERT_TRUE(test::waitUntil([&] { return test::fileExists(specsPath()); }));
    EXPECT_EQ(collector.uploads().size(), 1u);
}

TEST_F(PeriodicUploadTest, LogsAFailedUploadOnce) {
    Collector failing(Collector::Options{500});
    uploadTo(failing);
    auto job = std::make_shared<PushJob>(UploadContext::process(), configuration(PushFormat::LOCATION_ONLY),
                                         60, queue_);
    addTraces(2);
    const auto traces = contentOf(tracesPath());
    test::StdoutFile log;
    job->startJob();
    advance(60s);
    ASSERT_TRUE(log.waitFor("ERROR: Push failed: "));
    job->stopTimer();
    const auto text = log.text();
    EXPECT_THAT(text,
                ContainsRegex("(^|\n)PushJob\\.cpp:onTimeInBackgroundThread\\(\\):[0-9]+ ERROR: Push failed: "
                              "Optional\\(LumvexSdk\\.LumvexException\\.PUSH_FAILED\\)!!\n"));
    EXPECT_THAT(text, HasSubstr("PushRequest.cpp:sendPush(_:callback:):"));
    EXPECT_EQ(text.find("ERROR: Push failed: "), text.rfind("ERROR: Push failed: "));
    EXPECT_EQ(contentOf(tracesPath()), traces);
}

TEST_F(PeriodicUploadTest, APeriodBeyondACenturyWaitsACentury) {
    const auto longest = std::numeric_limits<std::int64_t>::max() / 60 * 60;
    auto job = std::make_shared<PushJob>(UploadContext::process(),
                                         configuration(PushFormat::DEVICE_INFO_ONLY), longest, queue_);
    EXPECT_EQ(BaseJobTestAccess::interval(*job), longest);
    PushRequestTestAccess::setDefaultEndpoint("not a url");
    test::StdoutFile log;
    job->startJob();
    advance(std::chrono::seconds(BaseJob::MAX_TIMER_INTERVAL_SECONDS - 1));
    ASSERT_TRUE(queue_->drain(10s));
    EXPECT_THAT(log.text(), Not(HasSubstr("Invalid push URL")));
    advance(1s);
    ASSERT_TRUE(queue_->drain(10s));
    EXPECT_THAT(log.text(), HasSubstr("Invalid push URL"));
    job->stopTimer();
}

// ---- through the engine ----

TEST_F(PeriodicUploadTest, TheEngineUploadsEveryPushFrequencyMinutes) {
    // Until the interval is up, any upload would fail at once on this endpoint, and log it.
    PushRequestTestAccess::setDefaultEndpoint("not a url");
    ASSERT_EQ(
        Lumvex::shared().start(configuration(PushFormat::DEVICE_INFO_ONLY, PushRegion::US, "engine-key", 2)),
        std::nullopt);
    test::StdoutFile log;
    advance(119s);
    // A forced upload queues behind any tick work, so its outcome comes after it.
    PushOutcome forced;
    Lumvex::shared().forcePush(forced.callback());
    ASSERT_TRUE(forced.wait());
    EXPECT_EQ(forced.error(), LumvexException::PUSH_FAILED);
    const auto text = log.text();
    EXPECT_EQ(text.find("Invalid push URL"), text.rfind("Invalid push URL"))
        << "only the forced one: " << text;

    Collector collector;
    uploadTo(collector);
    advance(1s);
    ASSERT_TRUE(test::waitUntil([&] { return test::fileExists(specsPath()); }));
    EXPECT_EQ(collector.uploads("engine-key").size(), 1u);
}

TEST_F(PeriodicUploadTest, ForcePushUploadsAndReportsToTheHost) {
    Collector collector;
    uploadTo(collector);
    ASSERT_EQ(Lumvex::shared().start(configuration(PushFormat::LOCATION_AND_DEVICE_INFO)), std::nullopt);
    // Queued before the upload, so the upload finds them stored.
    Lumvex::shared().addTrace(Location{48.85837, 2.294481});
    Lumvex::shared().addTrace(Location{48.86061, 2.337644});
    PushOutcome outcome;
    Lumvex::shared().forcePush(outcome.callback());
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.error(), std::nullopt);
    const auto uploads = collector.uploads("test-key");
    ASSERT_EQ(uploads.size(), 1u);
    ASSERT_EQ(uploads[0]["body"]["locations"].size(), 2u);
    EXPECT_EQ(uploads[0]["body"]["locations"][1]["lat"], "48.86061");
    EXPECT_FALSE(uploads[0]["body"]["devices_infos"].empty());
    EXPECT_FALSE(test::fileExists(tracesPath()));
    EXPECT_EQ(outcome.calls(), 1);
}

TEST_F(PeriodicUploadTest, ResignActiveUploadsAndLogsOnlyAFailure) {
    {
        Collector collector;
        uploadTo(collector);
        ASSERT_EQ(Lumvex::shared().start(configuration(PushFormat::LOCATION_ONLY)), std::nullopt);
        addTraces(1);
        test::StdoutFile log;
        Lumvex::shared().applicationWillResignActive();
        ASSERT_TRUE(log.waitFor("Push success"));
        ASSERT_TRUE(test::waitUntil([&] { return !test::fileExists(tracesPath()); }));
        EXPECT_EQ(collector.uploads().size(), 1u);
        EXPECT_THAT(log.text(), Not(HasSubstr("resign active")));
        Lumvex::shared().stop();
    }
    Collector failing(Collector::Options{400});
    uploadTo(failing);
    ASSERT_EQ(Lumvex::shared().start(configuration(PushFormat::LOCATION_ONLY)), std::nullopt);
    addTraces(1);
    test::StdoutFile log;
    Lumvex::shared().applicationWillResignActive();
    ASSERT_TRUE(log.waitFor("!!\n", 20s));
    ASSERT_TRUE(log.waitFor("Failed to push when app will resign active"));
    EXPECT_THAT(log.text(),
                HasSubstr("ERROR: Failed to push when app will resign active: " + PUSH_FAILED_TEXT + "!!\n"));
    EXPECT_TRUE(test::fileExists(tracesPath()));
}

}  // namespace
}  // namespace lumvex
