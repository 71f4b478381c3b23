// Uploads against servers that misbehave while answering: too slowly, too much, cut short,
// or flipping between accepting and refusing during a burst of forced uploads. Whatever the
// server does, every fix ends up either on the server or still in the trace file, and every
// forced upload that had something to send is answered exactly once.

#include "PushRequest.h"
#include "TraceRepository.h"
#include "platform/UrlSession.h"

#include "UploadFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

namespace lumvex {
namespace {

using namespace std::chrono_literals;
using test::Collector;
using test::ManualServer;
using test::PushOutcome;

/// How long the burst keeps going: a couple of seconds by default, longer locally with
/// LUMVEX_STRESS_SECONDS.
std::chrono::milliseconds stressBudget() {
    if (const char* text = std::getenv("LUMVEX_STRESS_SECONDS")) {
        const long seconds = std::strtol(text, nullptr, 10);
        if (seconds > 0) {
            return std::chrono::seconds(seconds);
        }
    }
    return 1s;
}

class ServerFaultTest : public test::UploadFixture {
protected:
    void TearDown() override {
        Lumvex::shared().stop();
        PushRequest::setDefaultEndpointForTesting(std::nullopt);
        platform::UrlSession::setStallTimeoutForTesting(std::nullopt);
        platform::UrlSession::setTransferTimeoutForTesting(std::nullopt);
        UploadFixture::TearDown();
    }

    /// Starts the library with forced uploads going to `base`.
    void startAgainst(const std::string& base) {
        PushRequest::setDefaultEndpointForTesting(base);
        ASSERT_EQ(Lumvex::shared().start(configuration(PushFormat::LOCATION_ONLY)), std::nullopt);
    }

    static std::string headers(int status, std::size_t contentLength) {
        return "HTTP/1.1 " + std::to_string(status) +
               " Status\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(contentLength) + "\r\nConnection: close\r\n\r\n";
    }

    /// The latitudes stored in the trace file, as stored.
    static std::multiset<std::string> latitudesInFile() {
        std::multiset<std::string> out;
        for (const auto& record : TraceRepository::shared().getTracesAsDict()) {
            out.insert(record.at("lat"));
        }
        return out;
    }
};

TEST_F(ServerFaultTest, AnAnswerTricklingInFasterThanTheStallBoundCompletes) {
    platform::UrlSession::setStallTimeoutForTesting(1s);
    ManualServer server;
    startAgainst(server.baseUrl());
    addTraces(2);
    PushOutcome outcome;
    Lumvex::shared().forcePush(outcome.callback());
    ASSERT_TRUE(server.acceptRequest());

    // One byte every 300 ms: never a whole second without progress, but the whole answer
    // takes well over the bound.
    const std::string body = "{\"id\":1}";
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(server.send(headers(200, body.size())));
    for (const char c : body) {
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(server.send(std::string(1, c)));
    }
    server.close();
    ASSERT_TRUE(outcome.wait());
    EXPECT_GT(std::chrono::steady_clock::now() - began, 2s);
    EXPECT_EQ(outcome.error(), std::nullopt);
    EXPECT_EQ(outcome.calls(), 1);
    EXPECT_EQ(contentOf(tracesPath()), std::nullopt) << "the sent fixes are removed";
}

// A 200 whose body keeps trickling in never stalls, so only the bound on the whole
// upload ends it: as a failure that keeps the fixes for the next upload, which succeeds.
TEST_F(ServerFaultTest, AnAnswerThatTricklesForEverFailsAtTheWholeUploadBound) {
    platform::UrlSession::setStallTimeoutForTesting(1s);
    platform::UrlSession::setTransferTimeoutForTesting(1500ms);
    ManualServer server;
    startAgainst(server.baseUrl());
    addTraces(2);
    const auto stored = contentOf(tracesPath());
    PushOutcome outcome;
    Lumvex::shared().forcePush(outcome.callback());
    ASSERT_TRUE(server.acceptRequest());
    ASSERT_TRUE(server.startChunkedAnswer(200));
    // 100 bytes every 100 ms, about 1 KB/s, until the client gives up or 20 s have passed.
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (!outcome.wait(100ms) && std::chrono::steady_clock::now() < giveUp) {
        server.sendChunk(std::string(100, ' '));
    }
    server.close();
    ASSERT_EQ(outcome.calls(), 1) << "the upload never ended";
    EXPECT_EQ(outcome.error(), LumvexException::PUSH_FAILED);
    EXPECT_EQ(contentOf(tracesPath()), stored);

    Collector collector;
    PushRequest::setDefaultEndpointForTesting(collector.baseUrl());
    PushOutcome next;
    Lumvex::shared().forcePush(next.callback());
    ASSERT_TRUE(next.wait());
    EXPECT_EQ(next.error(), std::nullopt);
    EXPECT_EQ(collector.uploads("test-key").at(0)["body"]["locations"].size(), 2u);
}

TEST_F(ServerFaultTest, AHugeAnswerIsReadToItsEndAndOnlyItsStatusCounts) {
    ManualServer server;
    startAgainst(server.baseUrl());
    constexpr std::size_t HUGE_BODY = std::size_t{48} << 20;
    const std::string chunk(std::size_t{1} << 20, 'x');
    for (const int status : {500, 200}) {
        addTraces(3);
        const auto stored = contentOf(tracesPath());
        PushOutcome outcome;
        Lumvex::shared().forcePush(outcome.callback());
        ASSERT_TRUE(server.acceptRequest()) << status;
        ASSERT_TRUE(server.send(headers(status, HUGE_BODY)));
        for (std::size_t sent = 0; sent < HUGE_BODY; sent += chunk.size()) {
            ASSERT_TRUE(server.send(chunk)) << "the client stopped reading at " << sent;
        }
        server.close();
        ASSERT_TRUE(outcome.wait()) << status;
        EXPECT_EQ(outcome.calls(), 1);
        if (status == 200) {
            EXPECT_EQ(outcome.error(), std::nullopt);
            EXPECT_EQ(contentOf(tracesPath()), std::nullopt);
        } else {
            EXPECT_EQ(outcome.error(), LumvexException::PUSH_FAILED);
            EXPECT_EQ(contentOf(tracesPath()), stored);
        }
    }
}

TEST_F(ServerFaultTest, AnAnswerCutOffInItsBodyFailsAndKeepsEveryFix) {
    ManualServer server;
    startAgainst(server.baseUrl());
    addTraces(4);
    const auto stored = contentOf(tracesPath());
    ASSERT_TRUE(stored);
    // A 200 status line does not make an upload whose answer never fully arrived a success:
    // the server may have died before keeping anything.
    for (const bool hard : {false, true}) {
        PushOutcome outcome;
        Lumvex::shared().forcePush(outcome.callback());
        ASSERT_TRUE(server.acceptRequest());
        ASSERT_TRUE(server.send(headers(200, 1000) + std::string(100, ' ')));
        if (hard) {
            server.reset();
        } else {
            server.close();
        }
        ASSERT_TRUE(outcome.wait()) << hard;
        EXPECT_EQ(outcome.error(), LumvexException::PUSH_FAILED) << hard;
        EXPECT_EQ(outcome.calls(), 1);
        EXPECT_EQ(contentOf(tracesPath()), stored) << hard;
    }
}

// Each forced upload follows a fix of its own, so each has something to send and must be
// answered exactly once. Uploads overlap: one may read the file before an earlier one's
// answer removed what it sent, so a fix can reach the accepting server twice when both
// uploads that carried it succeed. That duplicate is allowed (the server keeps both copies);
// a fix that is neither on the accepting server nor in the file is not, nor one that is in
// both. The burst stays below the file's size bound, so no fix is trimmed away by design.
TEST_F(ServerFaultTest, ABurstOfForcedUploadsWhileTheServerFlipsLosesNothing) {
    Collector accepting;
    Collector refusing(Collector::Options{500});
    startAgainst(accepting.baseUrl());
    std::mt19937 random(20261207);
    constexpr int PUSHES_PER_ROUND = 20;
    std::vector<std::unique_ptr<PushOutcome>> outcomes;
    std::set<std::string> added;
    const auto deadline = std::chrono::steady_clock::now() + stressBudget();
    int round = 0;
    std::size_t duplicates = 0;

    auto check = [&](const std::string& when) {
        int succeeded = 0;
        int failed = 0;
        for (const auto& outcome : outcomes) {
            ASSERT_TRUE(outcome->wait()) << when;
            EXPECT_EQ(outcome->calls(), 1) << when;
            (outcome->error() ? failed : succeeded)++;
        }
        std::multiset<std::string> onServer;
        const auto accepted = accepting.uploads();
        for (const auto& upload : accepted) {
            EXPECT_EQ(upload.at("status"), 200);
            for (const auto& location : upload.at("body").at("locations")) {
                onServer.insert(location.at("lat").get<std::string>());
            }
        }
        EXPECT_EQ(accepted.size(), static_cast<std::size_t>(succeeded)) << when;
        EXPECT_EQ(refusing.uploads().size(), static_cast<std::size_t>(failed)) << when;
        const auto inFile = latitudesInFile();
        duplicates = 0;
        for (const auto& lat : added) {
            const auto served = onServer.count(lat);
            const auto kept = inFile.count(lat);
            EXPECT_TRUE((served > 0) != (kept > 0))
                << when << ": fix " << lat << " on the server " << served << "x, in the file " << kept << "x";
            EXPECT_LE(kept, 1u) << when << ": " << lat;
            duplicates += served > 1 ? served - 1 : 0;
        }
        for (const auto& lat : onServer) {
            EXPECT_EQ(added.count(lat), 1u) << when << ": the server holds an unknown fix " << lat;
        }
    };

    do {
        for (int i = 0; i < PUSHES_PER_ROUND; ++i) {
            const Location fix{round * 100 + i + 0.25, 2.5};
            added.insert(TraceRepository::formatCoordinate(fix.latitude));
            Lumvex::shared().addTrace(fix);
            outcomes.push_back(std::make_unique<PushOutcome>());
            Lumvex::shared().forcePush(outcomes.back()->callback());
            if (random() % 3 == 0) {
                PushRequest::setDefaultEndpointForTesting(random() % 2 ? accepting.baseUrl()
                                                                       : refusing.baseUrl());
            }
        }
        check("round " + std::to_string(round));
        if (HasFailure()) {
            return;
        }
        // What the refusals left behind goes out in one more upload to the accepting server.
        PushRequest::setDefaultEndpointForTesting(accepting.baseUrl());
        if (!latitudesInFile().empty()) {
            outcomes.push_back(std::make_unique<PushOutcome>());
            Lumvex::shared().forcePush(outcomes.back()->callback());
            ASSERT_TRUE(outcomes.back()->wait());
            EXPECT_EQ(outcomes.back()->error(), std::nullopt);
        }
        check("after draining round " + std::to_string(round));
        EXPECT_TRUE(latitudesInFile().empty());
        if (HasFailure()) {
            return;
        }
        ++round;
    } while (std::chrono::steady_clock::now() < deadline);
    RecordProperty("rounds", round);
    RecordProperty("forcedUploads", static_cast<int>(outcomes.size()));
    RecordProperty("duplicatesOnServer", static_cast<int>(duplicates));
    std::printf("%d rounds, %zu forced uploads, %zu fixes, %zu duplicated on the server\n", round,
                outcomes.size(), added.size(), duplicates);
}

}  // namespace
}  // namespace lumvex
