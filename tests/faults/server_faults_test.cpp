// Uploads against servers that misbehave while answering: too slowly, too much, cut short,
// or flipping between accepting and refusing during a burst of forced uploads. Whatever the
// server does, every fix ends up either on the server, once, or still in the trace file,
// and no forced upload is answered twice.

#include "engine/LumvexEngine.h"
#include "platform/base/Clock.h"
#include "platform/base/RunLoop.h"
#include "platform/net/UrlSession.h"
#include "store/TraceRepository.h"
#include "upload/PushRequest.h"

#include "EngineTestAccess.h"
#include "Stores.h"
#include "TaskEnvironment.h"
#include "TestSupport.h"
#include "UploadFixture.h"
#include "UploadTestAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <thread>

namespace lumvex {
namespace {

using namespace std::chrono_literals;
using lumvex::test::storedRecords;
using test::Collector;
using test::ManualServer;
using test::PushOutcome;

class ServerFaultTest : public test::UploadFixture {
protected:
    void TearDown() override {
        Lumvex::shared().stop();
        PushRequestTestAccess::setDefaultEndpoint(std::nullopt);
        platform::UrlSessionTestAccess::setStallTimeout(std::nullopt);
        platform::UrlSessionTestAccess::setTransferTimeout(std::nullopt);
        UploadFixture::TearDown();
    }

    /// Starts the library with forced uploads going to `base`.
    void startAgainst(const std::string& base) {
        PushRequestTestAccess::setDefaultEndpoint(base);
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
        for (const auto& record : storedRecords()) {
            out.insert(record.at("lat"));
        }
        return out;
    }
};

TEST_F(ServerFaultTest, AnAnswerTricklingInFasterThanTheStallBoundCompletes) {
    test::TaskEnvironment env;
    ManualServer server;
    startAgainst(server.baseUrl());
    addTraces(2);
    PushOutcome outcome;
    Lumvex::shared().forcePush(outcome.callback());
    ASSERT_TRUE(server.acceptRequest());

    // A byte every third of the stall bound: never a whole bound without progress, but the
    // whole answer takes more than twice as long as the bound.
    const std::string body = "{\"id\":1}";
    ASSERT_TRUE(server.send(headers(200, body.size())));
    for (const char c : body) {
        env.clock().advance(platform::UrlSession::DEFAULT_STALL_TIMEOUT / 3);
        ASSERT_TRUE(server.send(std::string(1, c)));
    }
    server.close();
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.error(), std::nullopt);
    EXPECT_EQ(outcome.calls(), 1);
    EXPECT_EQ(contentOf(tracesPath()), std::nullopt) << "the sent fixes are removed";
}

// A 200 whose body keeps trickling in never stalls, so only the bound on the whole
// upload ends it: as a failure that keeps the fixes for the next upload, which succeeds.
TEST_F(ServerFaultTest, AnAnswerThatTricklesForEverFailsAtTheWholeUploadBound) {
    std::optional<test::TaskEnvironment> env(std::in_place);
    ManualServer server;
    startAgainst(server.baseUrl());
    addTraces(2);
    const auto stored = contentOf(tracesPath());
    PushOutcome outcome;
    Lumvex::shared().forcePush(outcome.callback());
    ASSERT_TRUE(server.acceptRequest());
    ASSERT_TRUE(server.startChunkedAnswer(200));
    // 100 bytes every third of the stall bound, up to the whole-upload bound.
    const auto step =
        std::chrono::duration_cast<std::chrono::seconds>(platform::UrlSession::DEFAULT_STALL_TIMEOUT / 3);
    auto elapsed = 0s;
    for (; elapsed + step < platform::UrlSession::DEFAULT_TRANSFER_TIMEOUT; elapsed += step) {
        ASSERT_TRUE(server.sendChunk(std::string(100, ' ')));
        env->clock().advance(step);
    }
    EXPECT_EQ(outcome.calls(), 0) << "ended after " << elapsed.count() << " s";
    server.sendChunk(std::string(100, ' '));
    env->clock().advance(step);
    ASSERT_TRUE(outcome.wait()) << "the upload never ended";
    server.close();
    EXPECT_EQ(outcome.calls(), 1);
    EXPECT_EQ(outcome.error(), LumvexException::PUSH_FAILED);
    EXPECT_EQ(contentOf(tracesPath()), stored);
    env.reset();

    Collector collector;
    PushRequestTestAccess::setDefaultEndpoint(collector.baseUrl());
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
    // The same fixes both times: after the refusal they are resent as they were.
    addTraces(3);
    const auto stored = contentOf(tracesPath());
    for (const int status : {500, 200}) {
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

/// Waits until the engine's queue has run what it holds and no upload is in flight or
/// waiting its turn.
bool settle(LumvexEngine& engine) {
    return LumvexEngineTestAccess::queue(engine)->drain(20s) &&
           test::waitUntil([] { return UploadContext::process().outbox.idle(); }, 20s);
}

/// The latitudes of every fix that `collector` kept with status 200, each as often as kept.
std::multiset<std::string> latitudesOn(const Collector& collector) {
    std::multiset<std::string> out;
    for (const auto& upload : collector.uploads()) {
        if (upload.at("status") == 200) {
            for (const auto& location : upload.at("body").at("locations")) {
                out.insert(location.at("lat").get<std::string>());
            }
        }
    }
    return out;
}

// Each forced upload follows a fix of its own. Uploads take turns, and each reads the file
// when its turn comes, so an upload may find that earlier ones took everything and send
// nothing (and so not answer). Every fix is on the accepting server exactly once or still
// in the file, never both; the burst stays below the file's size bound, so no fix is
// trimmed away by design.
TEST_F(ServerFaultTest, ABurstOfForcedUploadsWhileTheServerFlipsDeliversEachFixOnce) {
    Collector accepting;
    Collector refusing(Collector::Options{500});
    PushRequestTestAccess::setDefaultEndpoint(accepting.baseUrl());
    LumvexEngine engine;
    ASSERT_EQ(engine.start(configuration(PushFormat::LOCATION_ONLY)), std::nullopt);
    std::mt19937 random(20261207);
    constexpr int PUSHES_PER_ROUND = 20;
    std::vector<std::unique_ptr<PushOutcome>> outcomes;
    std::set<std::string> added;
    const auto deadline = std::chrono::steady_clock::now() + test::stressBudget(1s);
    int round = 0;

    auto check = [&](const std::string& when) {
        ASSERT_TRUE(settle(engine)) << when;
        int succeeded = 0;
        int failed = 0;
        // Each forced upload was asked for while its fix was stored, so each is answered
        // once: by its own request, or by the one that carried its fix.
        for (const auto& outcome : outcomes) {
            EXPECT_EQ(outcome->calls(), 1) << when;
            if (outcome->calls() > 0) {
                (outcome->error() ? failed : succeeded)++;
            }
        }
        // A refusal ends its host request. An upload that resends what a refusal left, once
        // accepted, goes on with the newer fixes under the same callback, so a request may
        // have been accepted twice.
        EXPECT_EQ(refusing.uploads().size(), static_cast<std::size_t>(failed)) << when;
        EXPECT_LE(accepting.uploads().size(), static_cast<std::size_t>(2 * (succeeded + failed))) << when;
        const auto onServer = latitudesOn(accepting);
        const auto inFile = latitudesInFile();
        for (const auto& lat : added) {
            EXPECT_EQ(onServer.count(lat) + inFile.count(lat), 1u)
                << when << ": fix " << lat << " on the server " << onServer.count(lat) << "x, in the file "
                << inFile.count(lat) << "x";
        }
        for (const auto& lat : onServer) {
            EXPECT_EQ(added.count(lat), 1u) << when << ": the server holds an unknown fix " << lat;
        }
    };

    do {
        for (int i = 0; i < PUSHES_PER_ROUND; ++i) {
            const Location fix{round * 100 + i + 0.25, 2.5};
            added.insert(TraceCodec::formatCoordinate(fix.latitude));
            engine.addTrace(fix);
            outcomes.push_back(std::make_unique<PushOutcome>());
            engine.forcePush(outcomes.back()->callback());
            if (random() % 3 == 0) {
                PushRequestTestAccess::setDefaultEndpoint(random() % 2 ? accepting.baseUrl()
                                                                       : refusing.baseUrl());
            }
        }
        check("round " + std::to_string(round));
        if (HasFailure()) {
            return;
        }
        // What the refusals left behind goes out in one more upload to the accepting server.
        PushRequestTestAccess::setDefaultEndpoint(accepting.baseUrl());
        if (!latitudesInFile().empty()) {
            outcomes.push_back(std::make_unique<PushOutcome>());
            engine.forcePush(outcomes.back()->callback());
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
}

// Two forced uploads and a periodic one, all started while the collector still holds the
// first answer back: they run one after the other, and each fix arrives once.
TEST_F(ServerFaultTest, OverlappingForcedAndPeriodicUploadsToASlowServerDeliverEachFixOnce) {
    std::optional<test::TaskEnvironment> env(std::in_place);
    // The minute that the periodic tick needs may pass while the first answer is held back;
    // on the virtual clock that would be a stall.
    platform::UrlSessionTestAccess::setStallTimeout(1h);
    platform::UrlSessionTestAccess::setTransferTimeout(1h);
    Collector slow(Collector::Options{std::nullopt, nullptr, {"--answer-delay-ms", "300"}});
    PushRequestTestAccess::setDefaultEndpoint(slow.baseUrl());
    LumvexEngine engine;
    ASSERT_EQ(engine.start(configuration(PushFormat::LOCATION_ONLY, PushRegion::EU, "test-key", 1)),
              std::nullopt);
    std::set<std::string> added;
    auto addFixes = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const Location fix{static_cast<double>(added.size()) + 0.125, 1.5};
            added.insert(TraceCodec::formatCoordinate(fix.latitude));
            engine.addTrace(fix);
        }
    };
    PushOutcome first;
    PushOutcome second;
    addFixes(3);
    engine.forcePush(first.callback());
    engine.forcePush(second.callback());
    addFixes(2);
    ASSERT_TRUE(env->fastForwardBy(60s));  // the periodic upload's tick
    addFixes(1);
    PushOutcome third;
    engine.forcePush(third.callback());
    ASSERT_TRUE(settle(engine));
    engine.stop();
    env.reset();

    EXPECT_EQ(latitudesOn(slow), std::multiset<std::string>(added.begin(), added.end()));
    EXPECT_TRUE(latitudesInFile().empty());
    for (const auto& [key, kept] : slow.keptPerKey()) {
        EXPECT_EQ(kept, 1) << "key \"" << key << "\"";
        EXPECT_FALSE(key.empty());
    }
    for (auto* outcome : {&first, &second, &third}) {
        EXPECT_LE(outcome->calls(), 1);
        EXPECT_EQ(outcome->error(), std::nullopt);
    }
    EXPECT_EQ(first.calls(), 1);
}

// However many uploads are asked for while one is unanswered, only that one holds a
// connection; the next starts after it and sends only what it left.
TEST_F(ServerFaultTest, UploadsTakeTurnsAndALaterOneSendsOnlyWhatIsLeft) {
    ManualServer server;
    startAgainst(server.baseUrl());
    addTraces(2);
    PushOutcome first;
    Lumvex::shared().forcePush(first.callback());
    ASSERT_TRUE(server.acceptRequest());
    std::vector<std::unique_ptr<PushOutcome>> later;
    for (int i = 0; i < 20; ++i) {
        Lumvex::shared().addTrace({50.0 + i, 1.0});
        later.push_back(std::make_unique<PushOutcome>());
        Lumvex::shared().forcePush(later.back()->callback());
    }
    EXPECT_FALSE(server.connectionWaiting(300ms)) << "a second upload went out while the first was open";
    server.respond(200);
    ASSERT_TRUE(first.wait());
    EXPECT_EQ(first.error(), std::nullopt);

    // The next in line carries the twenty fixes added meanwhile, and no earlier one.
    ASSERT_TRUE(server.acceptRequest());
    const auto& request = server.request();
    const auto body = nlohmann::json::parse(request.substr(request.find("\r\n\r\n") + 4));
    EXPECT_EQ(body["locations"].size(), 20u);
    EXPECT_EQ(body["locations"][0]["lat"], TraceCodec::formatCoordinate(50.0));
    server.respond(200);
    ASSERT_TRUE(later[0]->wait());
    EXPECT_EQ(later[0]->error(), std::nullopt);
    // The others find nothing left: no request, and the outcome of the upload that carried
    // their fixes.
    ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
    EXPECT_FALSE(server.connectionWaiting(0ms));
    for (std::size_t i = 1; i < later.size(); ++i) {
        EXPECT_EQ(later[i]->calls(), 1) << i;
        EXPECT_EQ(later[i]->error(), std::nullopt) << i;
    }
    EXPECT_EQ(contentOf(tracesPath()), std::nullopt);
}

// The server kept the upload, but its 200 was cut short, so the library counts a failure.
// Fixes are stored before the retry, so many that the cap trims the oldest unconfirmed
// ones from the file. The retry still resends exactly the first attempt's records under
// its key, which the server does not keep again, and the newer fixes follow in the same
// turn: every fix reaches the server once.
TEST_F(ServerFaultTest, ARetryAfterACutShort200IsNotKeptTwice) {
    Collector collector;
    ManualServer server;
    startAgainst(server.baseUrl());
    addTraces(4);
    const auto sent = latitudesInFile();
    PushOutcome first;
    Lumvex::shared().forcePush(first.callback());
    ASSERT_TRUE(server.acceptRequest());
    ASSERT_EQ(server.forwardTo(collector).status, 200);
    ASSERT_TRUE(server.send(headers(200, 1000) + std::string(100, ' ')));
    server.close();
    ASSERT_TRUE(first.wait());
    EXPECT_EQ(first.error(), LumvexException::PUSH_FAILED);
    ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));

    std::multiset<std::string> later;
    const auto oldest = *TraceRepository::shared().getTracesAsDict().recordLines.begin();
    for (int i = 0; i < 30 && TraceRepository::shared().getTracesAsDict().recordLines.front() == oldest;
         ++i) {
        const Location fix{60.0 + i, 1.0};
        TraceRepository::shared().addTrace(fix);
        later.insert(TraceCodec::formatCoordinate(fix.latitude));
    }
    ASSERT_LT(latitudesInFile().size(), sent.size() + later.size()) << "the cap trimmed an unconfirmed fix";

    PushOutcome retry;
    Lumvex::shared().forcePush(retry.callback());
    ASSERT_TRUE(server.acceptRequest());
    ASSERT_EQ(server.forwardTo(collector).status, 200);
    server.respond(200);
    ASSERT_TRUE(server.acceptRequest());
    ASSERT_EQ(server.forwardTo(collector).status, 200);
    server.respond(200);
    ASSERT_TRUE(retry.wait());
    EXPECT_EQ(retry.error(), std::nullopt);
    ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
    EXPECT_EQ(retry.calls(), 1);
    EXPECT_EQ(contentOf(tracesPath()), std::nullopt);
    EXPECT_EQ(contentOf(home_.cachesDir() + "/pending.lmx"), std::nullopt);

    const auto uploads = collector.uploads();
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0]["replays"], 1);
    EXPECT_EQ(uploads[1]["replays"], 0);
    auto all = sent;
    all.insert(later.begin(), later.end());
    EXPECT_EQ(latitudesOn(collector), all);
}

// An outcome that an answer decided reaches the host on the upload thread, whichever
// upload passes it on: a retry delivered with nothing newer, or a forced upload that was
// still queued when the upload in flight ended and so finds nothing left.
TEST_F(ServerFaultTest, AnOutcomeThatAnAnswerDecidedIsToldOnTheUploadThread) {
    enum class Way { deliveredRetry, queuedBehindTheUploadInFlight };
    for (const auto way : {Way::deliveredRetry, Way::queuedBehindTheUploadInFlight}) {
        SCOPED_TRACE(way == Way::deliveredRetry ? "a delivered retry" : "queued behind the upload in flight");
        ManualServer server;
        startAgainst(server.baseUrl());
        addTraces(2);
        PushOutcome first;
        Lumvex::shared().forcePush(first.callback());
        ASSERT_TRUE(server.acceptRequest());
        if (way == Way::deliveredRetry) {
            server.respond(500);
            ASSERT_TRUE(first.wait());
            ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
        }

        // A second engine of the process shares the outbox; its queue is held until the
        // upload in flight has ended.
        LumvexEngine engine;
        ASSERT_EQ(engine.start(configuration(PushFormat::LOCATION_ONLY)), std::nullopt);
        test::Signal release;
        LumvexEngineTestAccess::queue(engine)->async([&release] { release.wait(20s); });
        PushOutcome told;
        std::atomic<bool> onUploadThread{false};
        engine.forcePush([&](std::optional<LumvexException> error) {
            onUploadThread = platform::UrlSession::shared().isCompletionThread();
            told.callback()(error);
        });
        if (way == Way::deliveredRetry) {
            release.notify();
            ASSERT_TRUE(server.acceptRequest());
            server.respond(200);
        } else {
            server.respond(200);
            ASSERT_TRUE(first.wait());
            release.notify();
        }
        ASSERT_TRUE(told.wait());
        EXPECT_EQ(told.error(), std::nullopt);
        EXPECT_TRUE(onUploadThread);
        ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
        EXPECT_EQ(told.calls(), 1);
        EXPECT_FALSE(server.connectionWaiting(0ms));
        engine.stop();
        Lumvex::shared().stop();
    }
}

}  // namespace
}  // namespace lumvex
