#include "platform/base/Clock.h"
#include "platform/base/Text.h"
#include "platform/net/UrlSession.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/Device.h"
#include "store/DeviceInfoRepository.h"
#include "store/OfflineStore.h"
#include "store/TraceRepository.h"
#include "upload/DeviceInfoUtils.h"
#include "upload/PendingUpload.h"
#include "upload/PushRequest.h"
#include "upload/UploadContext.h"

#include "Stores.h"
#include "UploadFixture.h"
#include "UploadTestAccess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>

namespace lumvex {

namespace {

using Access = PushRequestTestAccess;
using lumvex::test::currentDescriptionRecord;
using lumvex::test::storedRecords;
using test::Collector;
using test::PushOutcome;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto PUSH_FAILED = LumvexException::PUSH_FAILED;

class PushRequestTest : public test::UploadFixture {
protected:
    void TearDown() override {
        platform::UrlSessionTestAccess::setStallTimeout(std::nullopt);
        UploadFixture::TearDown();
    }

    /// Sends one push to `base` and waits for its callback.
    std::optional<LumvexException> pushTo(const std::string& base, PushFormat format,
                                          const std::string& apiKey = "test-key") {
        PushOutcome outcome;
        PushRequest(base, base)
            .sendPush(UploadContext::process(), *configuration(format, PushRegion::EU, apiKey),
                      outcome.callback());
        EXPECT_TRUE(outcome.wait());
        // The turn passes on only once the callback has returned; until then a following
        // upload would wait for it instead of running at once.
        EXPECT_TRUE(
            test::waitUntil([] { return UploadContext::process().outbox.idle(); }, std::chrono::seconds(10)));
        return outcome.error();
    }

    static std::string vendorId() { return platform::Device::identifierForVendor().value_or("none"); }

    std::string pendingPath() const { return home_.cachesDir() + "/pending.lmx"; }

    /// Stores a fix at latitude `lat`, so that each fix can be told apart on the server.
    static void addFix(double lat) { TraceRepository::shared().addTrace(Location{lat, 0.5}); }

    /// The body and the Idempotency-Key of a raw request that a ManualServer read.
    static std::string bodyOf(const std::string& request) {
        return request.substr(request.find("\r\n\r\n") + 4);
    }
    static std::string keyOf(const std::string& request) {
        const auto start = request.find("Idempotency-Key: ");
        if (start == std::string::npos) {
            return "";
        }
        return request.substr(start + 17, request.find("\r\n", start) - start - 17);
    }

    /// Every latitude on `collector`, once per fix that it kept.
    static std::multiset<std::string> latitudesOn(const Collector& collector) {
        std::multiset<std::string> out;
        for (const auto& upload : collector.uploads()) {
            for (const auto& location : upload["body"]["locations"]) {
                out.insert(location["lat"].get<std::string>());
            }
        }
        return out;
    }
};

// Sets TZ for the rest of a scope.
class TimeZoneScope {
public:
    TimeZoneScope() {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    }
    ~TimeZoneScope() {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
    }
    void set(const char* zone) { ::setenv("TZ", zone, 1); }

private:
    std::optional<std::string> saved_;
};

// ---- the body ----

TEST_F(PushRequestTest, SendsTracesAndChangedDescriptionThenClearsAndRecordsThem) {
    Collector collector;
    addTraces(2);
    const auto traces = storedRecords();
    ASSERT_EQ(traces.size(), 2u);

    EXPECT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), std::nullopt);

    const auto uploads = collector.uploads("test-key");
    ASSERT_EQ(uploads.size(), 1u);
    const nlohmann::json expected = {{"mac", "020000000000"},
                                     {"google_aid", vendorId()},
                                     {"locations", traces},
                                     {"devices_infos", DeviceInfoUtils().getDeviceInfoAsDict()}};
    EXPECT_EQ(uploads[0]["body"], expected);
    EXPECT_EQ(uploads[0]["body"]["devices_infos"]["app_version"], "2.4.0");
    EXPECT_EQ(uploads[0]["content_type"], "application/json");
    EXPECT_EQ(uploads[0]["user_agent"], "") << "the library sends no User-Agent header";

    EXPECT_FALSE(test::fileExists(tracesPath())) << "nothing arrived meanwhile, so the file is gone";
    ASSERT_TRUE(test::fileExists(specsPath()));
}

TEST_F(PushRequestTest, LocationOnlyNeverSendsOrRecordsTheDescription) {
    Collector collector;
    addTraces(3);
    EXPECT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_ONLY), std::nullopt);
    const auto body = collector.uploads()[0]["body"];
    EXPECT_EQ(body["locations"].size(), 3u);
    EXPECT_EQ(body["devices_infos"], nlohmann::json::object());
    EXPECT_FALSE(test::fileExists(tracesPath()));
    EXPECT_FALSE(test::fileExists(specsPath()));
}

TEST_F(PushRequestTest, DeviceInfoOnlyNeverReadsOrClearsTraces) {
    Collector collector;
    addTraces(2);
    const auto stored = contentOf(tracesPath());
    ASSERT_TRUE(stored);

    EXPECT_EQ(pushTo(collector.baseUrl(), PushFormat::DEVICE_INFO_ONLY), std::nullopt);
    const auto body = collector.uploads()[0]["body"];
    EXPECT_EQ(body["locations"], nlohmann::json::array());
    EXPECT_EQ(body["devices_infos"], DeviceInfoUtils().getDeviceInfoAsDict());
    EXPECT_EQ(contentOf(tracesPath()), stored);
    EXPECT_TRUE(test::fileExists(specsPath()));

    // Traces alone are no reason to push in this format.
    test::StdoutCapture log;
    PushOutcome outcome;
    auto callback = std::make_shared<PushCallback>(outcome.callback());
    PushRequest(collector.baseUrl(), collector.baseUrl())
        .sendPush(UploadContext::process(), *configuration(PushFormat::DEVICE_INFO_ONLY),
                  [callback](auto e) { (*callback)(e); });
    EXPECT_EQ(callback.use_count(), 1) << "nothing holds the callback, so it can never be called";
    EXPECT_THAT(log.text(), HasSubstr("Push is not necessary: "));
    EXPECT_EQ(collector.uploads().size(), 1u);
    EXPECT_EQ(contentOf(tracesPath()), stored);
}

TEST_F(PushRequestTest, BuildsTheDictionaryForEachFormat) {
    addTraces(2);
    const PushRequest request("http://127.0.0.1:1/", "http://127.0.0.1:1/");
    const auto traces = nlohmann::json(storedRecords());
    const auto device = DeviceInfoUtils().getDeviceInfoAsDict();

    const auto both = Access::payload(request, PushFormat::LOCATION_AND_DEVICE_INFO);
    EXPECT_EQ(both.dict, nlohmann::json({{"mac", "020000000000"},
                                         {"google_aid", vendorId()},
                                         {"locations", traces},
                                         {"devices_infos", device}}));
    const auto locationOnly = Access::payload(request, PushFormat::LOCATION_ONLY);
    EXPECT_EQ(locationOnly.dict["locations"], traces);
    EXPECT_EQ(locationOnly.dict["devices_infos"], nlohmann::json::object());
    const auto deviceOnly = Access::payload(request, PushFormat::DEVICE_INFO_ONLY);
    EXPECT_EQ(deviceOnly.dict["locations"], nlohmann::json::array());
    EXPECT_EQ(deviceOnly.dict["devices_infos"], device);
    for (const auto* payload : {&both, &locationOnly, &deviceOnly}) {
        EXPECT_EQ(payload->dict.size(), 4u);
    }
    EXPECT_TRUE(both.containsLocation);
    EXPECT_TRUE(both.containsDeviceInfo);
    EXPECT_FALSE(locationOnly.containsDeviceInfo);
    EXPECT_FALSE(deviceOnly.containsLocation);

    // Building reads the stores and changes neither.
    EXPECT_FALSE(test::fileExists(specsPath()));
    EXPECT_EQ(storedRecords().size(), 2u);

    // The vendor id has the platform's UUID form, and "noid" stands in when there is none.
    EXPECT_THAT(both.dict["google_aid"].get<std::string>(),
                ContainsRegex("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
    removeSystemFile("/etc/machine-id");
    EXPECT_EQ(Access::payload(request, PushFormat::LOCATION_ONLY).dict["google_aid"], "noid");
}

// The body is put together from texts that the stores keep; its bytes must stay those of a
// plain dump of the dictionary, also when what was kept has gone out of date.
TEST_F(PushRequestTest, TheBodyIsByteForByteADumpOfTheDictionary) {
    const PushRequest request("http://127.0.0.1:1/", "http://127.0.0.1:1/");
    const char* savedTz = std::getenv("TZ");
    const std::optional<std::string> tz = savedTz ? std::optional<std::string>(savedTz) : std::nullopt;
    const auto expectDumps = [&](const std::string& when) {
        for (const auto format : {PushFormat::LOCATION_AND_DEVICE_INFO, PushFormat::LOCATION_ONLY,
                                  PushFormat::DEVICE_INFO_ONLY}) {
            const nlohmann::json dict = {
                {"mac", "020000000000"},
                {"google_aid", vendorId()},
                {"locations", format == PushFormat::DEVICE_INFO_ONLY ? nlohmann::json::array()
                                                                     : nlohmann::json(storedRecords())},
                {"devices_infos", format == PushFormat::LOCATION_ONLY
                                      ? nlohmann::json::object()
                                      : DeviceInfoUtils().getDeviceInfoAsDict()}};
            EXPECT_EQ(Access::body(request, format), dict.dump())
                << when << ", format " << static_cast<int>(format);
        }
    };
    expectDumps("nothing stored");
    addTraces(3);
    expectDumps("three fixes");
    putSystemFile("/proc/sys/kernel/hostname", "Zo\xC3\xAB \"lap\\top\"\t\xFF\n");
    expectDumps("a host name to escape and repair");
    for (const char* zone : {"<+0545>-5:45", "EST5EDT,M3.2.0,M11.1.0"}) {
        ::setenv("TZ", zone, 1);
        expectDumps(std::string("time zone ") + zone);
    }
    if (tz) {
        ::setenv("TZ", tz->c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    // Lines that another writer added, and a file that another writer put in its place.
    test::appendToFile(tracesPath(), platform::base64Encode("1496311200000;1.5;2.5") + "\nnot a fix\n");
    expectDumps("lines from another writer");
    test::writeFile(tracesPath(), platform::base64Encode("1496311200000;-3.25;4.0") + "\n");
    expectDumps("a file replaced by another writer");
    addTraces(1);
    expectDumps("a fix after the replacement");
}

TEST_F(PushRequestTest, ADescriptionThatCannotBeWrittenAsJsonMakesNoRequest) {
    // The description's values are repaired to UTF-8 as they are read; what reaches the
    // builder unwritten is a description whose JSON text could not be made.
    auto contents = UploadContents::gather(PushFormat::LOCATION_AND_DEVICE_INFO, UploadContext::process());
    auto unwritten = std::make_shared<DeviceInfoUtils::Description>();
    unwritten->dict = {{"device_name", std::string("bad \xC3\x28 byte")}};
    EXPECT_EQ(DeviceInfoUtils::serialize(unwritten->dict), "");
    contents.description = unwritten;
    const auto configuration = this->configuration(PushFormat::LOCATION_AND_DEVICE_INFO);
    EXPECT_EQ(PushRequest().buildRequest(contents, *configuration, UploadRequest::newKey(), 0), std::nullopt);
    // A format without the description never looks at it.
    EXPECT_TRUE(PushRequest().buildRequest(contents, *this->configuration(PushFormat::LOCATION_ONLY),
                                           UploadRequest::newKey(), 0));
}

// ---- where it goes ----

TEST_F(PushRequestTest, PostsToTheRegionsEndpoint) {
    Collector eu;
    Collector us;
    addTraces(1);
    PushOutcome toUs;
    PushRequest(eu.baseUrl(), us.baseUrl())
        .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_ONLY, PushRegion::US),
                  toUs.callback());
    ASSERT_TRUE(toUs.wait());
    EXPECT_EQ(toUs.error(), std::nullopt);
    EXPECT_EQ(us.uploads().size(), 1u);
    EXPECT_EQ(eu.uploads().size(), 0u);

    addTraces(1);
    PushOutcome toEu;
    PushRequest(eu.baseUrl(), us.baseUrl())
        .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_ONLY, PushRegion::EU),
                  toEu.callback());
    ASSERT_TRUE(toEu.wait());
    EXPECT_EQ(eu.uploads().size(), 1u);
    EXPECT_EQ(us.uploads().size(), 1u);

    const PushRequest request(eu.baseUrl(), us.baseUrl());
    EXPECT_EQ(Access::buildUrl(request, "abc", PushRegion::EU), eu.baseUrl() + "api/v1/abc/send_locations");
    EXPECT_EQ(Access::buildUrl(request, "abc", PushRegion::US), us.baseUrl() + "api/v1/abc/send_locations");
}

TEST_F(PushRequestTest, WithoutArgumentsBothRegionsUseTheDefaultEndpoint) {
    EXPECT_EQ(PushRequest::defaultEndpoint(), "http://127.0.0.1:8710/");
    const PushRequest builtIn;
    EXPECT_EQ(Access::buildUrl(builtIn, "k", PushRegion::EU),
              "http://127.0.0.1:8710/api/v1/k/send_locations");
    EXPECT_EQ(Access::buildUrl(builtIn, "k", PushRegion::US),
              "http://127.0.0.1:8710/api/v1/k/send_locations");

    Collector collector;
    PushRequestTestAccess::setDefaultEndpoint(collector.baseUrl());
    addTraces(1);
    PushOutcome outcome;
    PushRequest().sendPush(UploadContext::process(),
                           *configuration(PushFormat::LOCATION_ONLY, PushRegion::US), outcome.callback());
    ASSERT_TRUE(outcome.wait());
    PushRequestTestAccess::setDefaultEndpoint(std::nullopt);
    EXPECT_EQ(outcome.error(), std::nullopt);
    EXPECT_EQ(collector.uploads().size(), 1u);
}

TEST_F(PushRequestTest, KeepsTheApiKeyInsideItsPathSegment) {
    const PushRequest request("http://h/", "http://h/");
    auto url = [&](const std::string& key) { return Access::buildUrl(request, key, PushRegion::EU); };
    EXPECT_EQ(url("AZaz09-_.~"), "http://h/api/v1/AZaz09-_.~/send_locations");
    EXPECT_EQ(url("a/b"), "http://h/api/v1/a%2Fb/send_locations");
    EXPECT_EQ(url("k?x=1#f"), "http://h/api/v1/k%3Fx=1%23f/send_locations");
    EXPECT_EQ(url("!$&'()*+,;=:@"), "http://h/api/v1/!$&'()*+,;=:@/send_locations");
    EXPECT_EQ(url("a\"b<>[]{}|\\^`"), "http://h/api/v1/a%22b%3C%3E%5B%5D%7B%7D%7C%5C%5E%60/send_locations");
    EXPECT_EQ(url(" %"), "http://h/api/v1/%20%25/send_locations");
    EXPECT_EQ(url("\xC3\xA9"), "http://h/api/v1/%C3%A9/send_locations");
    EXPECT_EQ(url("."), "http://h/api/v1/%2E/send_locations");
    EXPECT_EQ(url(".."), "http://h/api/v1/%2E%2E/send_locations");
    EXPECT_EQ(url("..."), "http://h/api/v1/.../send_locations");

    // Each arrives at the collector under exactly its own key.
    Collector collector;
    for (const std::string key :
         {"a/b", "k?x=1#f", "..", ".", "cl\xC3\xA9 & <co>", "../../other", "k+e=y:1@x!$&'()*,;"}) {
        addTraces(1);
        EXPECT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_ONLY, key), std::nullopt) << key;
        EXPECT_EQ(collector.uploads(key).size(), 1u) << key;
    }
    EXPECT_EQ(collector.uploads().size(), 7u);
}

TEST_F(PushRequestTest, AnEndpointThatDoesNotParseFailsAtOnceAndSendsNothing) {
    addTraces(1);
    const auto stored = contentOf(tracesPath());
    for (const std::string base : {"", "not a url/", "ftp://127.0.0.1/", "/relative/"}) {
        test::StdoutCapture log;
        std::optional<std::optional<LumvexException>> received;
        PushRequest(base, base)
            .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_ONLY),
                      [&](std::optional<LumvexException> e) { received = e; });
        ASSERT_TRUE(received) << "reported before sendPush returns, for \"" << base << "\"";
        EXPECT_EQ(*received, PUSH_FAILED);
        EXPECT_THAT(log.text(), HasSubstr("ERROR: Invalid push URL "));
    }
    EXPECT_EQ(contentOf(tracesPath()), stored);
}

// ---- outcomes ----

// A backlog in the offline store goes first, in batches, each its own request; the
// description rides with the first, the trace file's fixes follow the backlog, and the host
// is told once, when all of it is delivered.
TEST_F(PushRequestTest, AnOfflineBacklogGoesInBatchesThenTheTraceFileWithOneCallback) {
    Collector collector;
    auto& offline = OfflineStore::shared();
    offline.configure(OfflineStore::Capacity{std::chrono::hours(24 * 30), 1000}, 2,
                      TraceRepository::shared());
    for (int n = 1; n <= 5; ++n) {
        addFix(n);
    }
    // Turned off: the next fix goes to the trace file, and the backlog is still uploaded.
    offline.configure(std::nullopt, 2, TraceRepository::shared());
    addFix(6);
    PushOutcome outcome;
    PushRequest(collector.baseUrl(), collector.baseUrl())
        .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_AND_DEVICE_INFO),
                  outcome.callback());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(
        test::waitUntil([] { return UploadContext::process().outbox.idle(); }, std::chrono::seconds(10)));
    EXPECT_EQ(outcome.error(), std::nullopt);
    EXPECT_EQ(outcome.calls(), 1);

    std::vector<std::vector<std::string>> batches;
    std::vector<bool> described;
    for (const auto& upload : collector.uploads("test-key")) {
        batches.emplace_back();
        for (const auto& location : upload["body"]["locations"]) {
            batches.back().push_back(location["lat"].get<std::string>());
        }
        described.push_back(!upload["body"]["devices_infos"].empty());
    }
    EXPECT_EQ(batches,
              (std::vector<std::vector<std::string>>{{"1.0", "2.0"}, {"3.0", "4.0"}, {"5.0"}, {"6.0"}}));
    EXPECT_EQ(described, (std::vector<bool>{true, false, false, false}));
    EXPECT_EQ(offline.count(), 0u);
    EXPECT_FALSE(test::fileExists(tracesPath()));
}

TEST_F(PushRequestTest, AnyStatusBut200FailsAndLeavesBothFiles) {
    addTraces(2);
    test::writeFile(specsPath(), "b2xkIGRlc2NyaXB0aW9u");  // an older description
    const auto traces = contentOf(tracesPath());
    const auto specs = contentOf(specsPath());
    for (const int status : {201, 204, 400, 500}) {
        Collector collector(Collector::Options{status});
        test::StdoutCapture log;
        EXPECT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), PUSH_FAILED) << status;
        EXPECT_THAT(log.text(), ContainsRegex("(^|\n)PushRequest\\.cpp:sendPush\\(_:callback:\\):[0-9]+ "
                                              "ERROR: Push failed!!\n"))
            << status;
        EXPECT_EQ(collector.uploads().size(), 1u) << "the request did arrive";
        EXPECT_EQ(contentOf(tracesPath()), traces) << status;
        EXPECT_EQ(contentOf(specsPath()), specs) << status;
    }
}

// Each answer decides whether the request is sent again: only a refusal that the same bytes
// will always get ends its record, and its fixes then go out in a new request. A retry is
// byte for byte the first attempt, under its key, although the time zone that timestamps
// are rendered in changed between the two; what was stored meanwhile follows it.
TEST_F(PushRequestTest, EachAnswerDecidesWhetherTheRequestIsSentAgain) {
    struct Case {
        const char* name;
        int status;  // 0: the connection is reset instead
        bool kept;
    };
    const Case cases[] = {{"422", 422, false}, {"400", 400, false}, {"413", 413, false},
                          {"408", 408, true},  {"429", 429, true},  {"500", 500, true},
                          {"503", 503, true},  {"reset", 0, true},  {"200", 200, false}};
    test::ManualServer server;
    Collector collector;
    TimeZoneScope zone;
    std::multiset<std::string> added;
    double lat = 1;
    auto push = [&](PushOutcome& outcome) {
        PushRequest(server.baseUrl(), server.baseUrl())
            .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_ONLY),
                      outcome.callback());
        ASSERT_TRUE(server.acceptRequest());
    };
    auto store = [&](int count) {
        for (int i = 0; i < count; ++i, ++lat) {
            addFix(lat);
            added.insert(TraceCodec::formatCoordinate(lat));
        }
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StdoutCapture log;
        zone.set("UTC");
        store(2);
        PushOutcome first;
        push(first);
        const auto sent = server.request();
        if (c.status == 200) {
            ASSERT_EQ(server.forwardTo(collector).status, 200);
        }
        c.status == 0 ? server.reset() : server.respond(c.status);
        ASSERT_TRUE(first.wait());
        EXPECT_EQ(first.error() == std::nullopt, c.status == 200);
        ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
        EXPECT_EQ(test::fileExists(pendingPath()), c.kept);
        EXPECT_EQ(log.text().find("ERROR: Pending upload given up: refused with status " +
                                  std::to_string(c.status) + "!!") != std::string::npos,
                  !c.kept && c.status != 200);

        zone.set("Asia/Tokyo");
        store(1);
        EXPECT_EQ(storedRecords().size(), c.status == 200 ? 1u : 3u);
        PushOutcome second;
        push(second);
        EXPECT_EQ(keyOf(server.request()) == keyOf(sent), c.kept);
        if (c.kept) {
            EXPECT_EQ(bodyOf(server.request()), bodyOf(sent));
            ASSERT_EQ(server.forwardTo(collector).status, 200);
            server.respond(200);
            ASSERT_TRUE(server.acceptRequest()) << "the fix stored meanwhile follows";
        }
        const auto locations = nlohmann::json::parse(bodyOf(server.request()))["locations"];
        EXPECT_EQ(locations.size(), c.kept || c.status == 200 ? 1u : 3u);
        ASSERT_EQ(server.forwardTo(collector).status, 200);
        server.respond(200);
        ASSERT_TRUE(second.wait());
        EXPECT_EQ(second.error(), std::nullopt);
        ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
        EXPECT_EQ(second.calls(), 1);
        EXPECT_FALSE(test::fileExists(tracesPath()));
        EXPECT_FALSE(test::fileExists(pendingPath()));
        EXPECT_THAT(keyOf(sent), ContainsRegex("^[0-9a-f]{64}$"));
    }
    EXPECT_EQ(latitudesOn(collector), added);
}

// A key names one request: a second device whose upload carries the same description, and
// a description that changes and changes back, are each kept by a server that honours keys.
TEST_F(PushRequestTest, EqualBodiesFromTwoDevicesOrAtTwoTimesHaveTheirOwnKeys) {
    Collector collector;
    ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::DEVICE_INFO_ONLY), std::nullopt);
    ASSERT_EQ(::unlink(specsPath().c_str()), 0);  // what a second device with this description sends
    ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::DEVICE_INFO_ONLY), std::nullopt);
    putSystemFile("/proc/sys/kernel/hostname", "london\n");
    ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::DEVICE_INFO_ONLY), std::nullopt);
    putSystemFile("/proc/sys/kernel/hostname", "ada-laptop\n");
    ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::DEVICE_INFO_ONLY), std::nullopt);
    const auto uploads = collector.uploads();
    ASSERT_EQ(uploads.size(), 4u);
    for (const auto& upload : uploads) {
        EXPECT_EQ(upload["replays"], 0);
    }
    EXPECT_EQ(uploads[0]["body"], uploads[1]["body"]);
    EXPECT_EQ(uploads[0]["body"], uploads[3]["body"]);
}

// The system clock with its calendar stepped by `step`, as an administrator or NTP sets it;
// its monotonic time runs on untouched.
class SteppedClock final : public platform::Clock {
public:
    explicit SteppedClock(std::chrono::milliseconds step) : step_(step) {}
    TimePoint now() const override { return system_.now(); }
    WallTime wallNow() const override { return system_.wallNow() + step_; }
    std::int64_t wallNowMilliseconds() const override {
        return system_.wallNowMilliseconds() + step_.count();
    }
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline,
                   const std::function<bool()>& wake,
                   const std::weak_ptr<platform::ClockListener>& listener) override {
        system_.waitUntil(lock, cv, deadline, wake, listener);
    }

private:
    platform::SystemClock system_;
    std::chrono::milliseconds step_;
};

// The host's current choice holds: a request recorded under another push format, API key
// or endpoint, or one older than the bound, is given up, and the fixes it carried go out in
// a new request as the configuration in force makes it. A record's age is counted on the
// monotonic clock once known: a step of the calendar alone gives none up.
TEST_F(PushRequestTest, ARecordMadeUnderAnotherConfigurationOrTooLongAgoIsGivenUp) {
    struct Case {
        const char* name;
        PushFormat format;
        const char* apiKey;
        bool otherEndpoint;
        bool aged;
        bool clockStep = false;
    };
    const Case cases[] = {
        {"device info only", PushFormat::DEVICE_INFO_ONLY, "test-key", false, false},
        {"location only", PushFormat::LOCATION_ONLY, "test-key", false, false},
        {"another API key", PushFormat::LOCATION_AND_DEVICE_INFO, "other-key", false, false},
        {"another endpoint", PushFormat::LOCATION_AND_DEVICE_INFO, "test-key", true, false},
        {"too old", PushFormat::LOCATION_AND_DEVICE_INFO, "test-key", false, true},
        {"the calendar stepped past the bound", PushFormat::LOCATION_AND_DEVICE_INFO, "test-key", false,
         false, true},
    };
    test::ManualServer server;
    test::ManualServer other;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& path : {tracesPath(), specsPath()}) {
            ::unlink(path.c_str());
        }
        addFix(1.5);
        addFix(2.5);
        PushOutcome first;
        PushRequest(server.baseUrl(), server.baseUrl())
            .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_AND_DEVICE_INFO),
                      first.callback());
        ASSERT_TRUE(server.acceptRequest());
        const auto sent = server.request();
        server.respond(500);
        ASSERT_TRUE(first.wait());
        ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
        if (c.aged) {
            auto record = PendingUpload::decode(test::readFile(pendingPath()));
            ASSERT_TRUE(record);
            record->createdAtMs -=
                std::chrono::milliseconds(PendingUpload::MAX_AGE + std::chrono::minutes(1)).count();
            test::writeFile(pendingPath(), PendingUpload::encode(*record));
        }
        if (c.clockStep) {
            platform::setClock(
                std::make_shared<SteppedClock>(std::chrono::duration_cast<std::chrono::milliseconds>(
                    PendingUpload::MAX_AGE + std::chrono::hours(1))));
        }

        test::StdoutCapture log;
        auto& target = c.otherEndpoint ? other : server;
        PushOutcome second;
        PushRequest(target.baseUrl(), target.baseUrl())
            .sendPush(UploadContext::process(), *configuration(c.format, PushRegion::EU, c.apiKey),
                      second.callback());
        ASSERT_TRUE(target.acceptRequest());
        const auto body = nlohmann::json::parse(bodyOf(target.request()));
        platform::setClock(nullptr);
        if (c.clockStep) {
            EXPECT_EQ(keyOf(target.request()), keyOf(sent));
            EXPECT_EQ(bodyOf(target.request()), bodyOf(sent));
            target.respond(200);
            ASSERT_TRUE(second.wait());
            EXPECT_EQ(second.error(), std::nullopt);
            ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
            EXPECT_THAT(log.text(), Not(HasSubstr("given up")));
            EXPECT_FALSE(test::fileExists(pendingPath()));
            continue;
        }
        EXPECT_NE(keyOf(target.request()), keyOf(sent));
        EXPECT_EQ(body["locations"].size(), c.format == PushFormat::DEVICE_INFO_ONLY ? 0u : 2u);
        EXPECT_EQ(body["devices_infos"].empty(), c.format == PushFormat::LOCATION_ONLY);
        target.respond(200);
        ASSERT_TRUE(second.wait());
        EXPECT_EQ(second.error(), std::nullopt);
        ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
        EXPECT_THAT(log.text(), HasSubstr(c.aged ? "ERROR: Pending upload given up: older than 72 hours!!"
                                                 : "ERROR: Pending upload given up: made under another push "
                                                   "format, endpoint or API key!!"));
        EXPECT_EQ(test::fileExists(tracesPath()), c.format == PushFormat::DEVICE_INFO_ONLY);
        EXPECT_EQ(test::fileExists(specsPath()), c.format != PushFormat::LOCATION_ONLY);
        EXPECT_FALSE(test::fileExists(pendingPath()));
    }
}

TEST_F(PushRequestTest, TransportFailuresFailAndLeaveBothFiles) {
    addTraces(2);
    const auto traces = contentOf(tracesPath());
    const std::regex errorLine(
        "(^|\n)PushRequest\\.cpp:sendPush\\(_:callback:\\):[0-9]+ Push error error=Optional\\(.+\\)\n");
    {
        test::RefusingPort refusing;
        test::StdoutCapture log;
        EXPECT_EQ(pushTo(refusing.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), PUSH_FAILED);
        EXPECT_TRUE(std::regex_search(log.text(), errorLine)) << log.text();
    }
    {
        test::ManualServer server;
        test::StdoutCapture log;
        PushOutcome outcome;
        PushRequest(server.baseUrl(), server.baseUrl())
            .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_AND_DEVICE_INFO),
                      outcome.callback());
        ASSERT_TRUE(server.acceptRequest());
        server.reset();
        ASSERT_TRUE(outcome.wait());
        EXPECT_EQ(outcome.error(), PUSH_FAILED);
        EXPECT_TRUE(std::regex_search(log.text(), errorLine)) << log.text();
    }
    {
        platform::UrlSessionTestAccess::setStallTimeout(std::chrono::milliseconds(100));
        test::SilentServer silent;
        test::StdoutCapture log;
        EXPECT_EQ(pushTo(silent.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), PUSH_FAILED);
        EXPECT_TRUE(std::regex_search(log.text(), errorLine)) << log.text();
    }
    EXPECT_EQ(contentOf(tracesPath()), traces);
    EXPECT_FALSE(test::fileExists(specsPath()));
}

TEST_F(PushRequestTest, AnHttpsEndpointMustProveWhoItIs) {
    test::SelfSignedCertificate certificate;
    Collector collector(Collector::Options{std::nullopt, &certificate});
    ASSERT_EQ(collector.baseUrl().rfind("https://", 0), 0u);
    ASSERT_EQ(collector.summary(), nlohmann::json::object()) << "the server answers a client that trusts it";

    addTraces(1);
    const auto traces = contentOf(tracesPath());
    test::StdoutCapture log;
    EXPECT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_ONLY), PUSH_FAILED);
    EXPECT_THAT(log.text(), HasSubstr("Push error error=Optional(UrlError(code: 60,"));
    EXPECT_EQ(collector.uploads().size(), 0u);
    EXPECT_EQ(contentOf(tracesPath()), traces);
}

TEST_F(PushRequestTest, NothingToSendMeansNoRequestAndNoCallback) {
    Collector collector;
    ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::DEVICE_INFO_ONLY),
              std::nullopt);  // description recorded
    for (const auto format :
         {PushFormat::LOCATION_AND_DEVICE_INFO, PushFormat::LOCATION_ONLY, PushFormat::DEVICE_INFO_ONLY}) {
        test::StdoutCapture log;
        auto outcome = std::make_shared<PushOutcome>();
        PushRequest(collector.baseUrl(), collector.baseUrl())
            .sendPush(UploadContext::process(), *configuration(format),
                      [outcome](auto e) { outcome->callback()(e); });
        EXPECT_EQ(outcome.use_count(), 1) << "the callback was let go without a call";
        const auto text = log.text();
        EXPECT_THAT(text,
                    ContainsRegex("(^|\n)PushRequest\\.cpp:sendPush\\(_:callback:\\):[0-9]+ Push is not "
                                  "necessary: \\{.*\\}\n$"));
        EXPECT_THAT(text, HasSubstr("\"locations\":[]"));
        EXPECT_THAT(text, HasSubstr("\"devices_infos\":{}"));
    }
    EXPECT_EQ(collector.uploads().size(), 1u);
}

TEST_F(PushRequestTest, SendsTheDescriptionOnceAndAgainOnlyAfterAChangeOrAFailure) {
    Collector collector;
    ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), std::nullopt);
    EXPECT_EQ(collector.uploads()[0]["body"]["devices_infos"]["device_name"], "ada-laptop");

    // Unchanged: traces go alone.
    addTraces(1);
    ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), std::nullopt);
    EXPECT_EQ(collector.uploads()[1]["body"]["devices_infos"], nlohmann::json::object());

    // Changed, but the upload fails: the record stays, so the next upload carries it.
    putSystemFile("/proc/sys/kernel/hostname", "grace-laptop\n");
    const auto recorded = contentOf(specsPath());
    {
        Collector failing(Collector::Options{500});
        ASSERT_EQ(pushTo(failing.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), PUSH_FAILED);
        EXPECT_EQ(failing.uploads()[0]["body"]["devices_infos"]["device_name"], "grace-laptop");
    }
    EXPECT_EQ(contentOf(specsPath()), recorded);
    ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), std::nullopt);
    ASSERT_EQ(collector.uploads().size(), 3u);
    EXPECT_EQ(collector.uploads()[2]["body"]["devices_infos"]["device_name"], "grace-laptop");
    EXPECT_NE(contentOf(specsPath()), recorded);
}

// A record that is not one that this version writes is removed unread, never sent: the
// upload goes on with what the trace file holds.
TEST_F(PushRequestTest, AnUnusablePendingRecordIsRemovedAndTheStoredFixesGoOut) {
    Collector collector;
    const auto oldMagic = platform::base64Encode("lumvex pending upload 1") + "\n";
    const auto foreignFix = platform::base64Encode("1718445600123;1.5;2.5");
    UploadRequest usable;
    usable.url = collector.baseUrl() + "api/v1/test-key/send_locations";
    usable.key = UploadRequest::newKey();
    usable.format = PushFormat::LOCATION_ONLY;
    usable.createdAtMs = platform::clock()->wallNowMilliseconds();
    usable.body = R"({"devices_infos":{},"google_aid":"noid","locations":[],"mac":"020000000000"})";
    usable.lines = {foreignFix + "\n"};
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i) {
            text += "{\"a\":";
        }
        return text + "1" + std::string(static_cast<std::size_t>(depth), '}');
    };
    auto deeper = usable;
    deeper.body = nested(4);
    const auto whole = PendingUpload::encode(usable);
    const std::map<std::string, std::string> records = {
        {"foreign text", "not a record\n"},
        {"an earlier layout", oldMagic + "\n" + foreignFix + "\n"},
        {"an earlier layout, deeply nested", oldMagic + platform::base64Encode(nested(150000)) + "\n"},
        {"a body nested deeper than ours", PendingUpload::encode(deeper)},
        {"cut short", whole.substr(0, whole.size() - 1)},
        {"too large", whole + std::string(PendingUpload::MAX_BYTES, 'A') + "\n"},
        {"a link to a usable one", ""},
    };
    test::TempDir elsewhere;
    for (const auto& [what, content] : records) {
        addTraces(2);
        if (content.empty()) {
            test::writeFile(elsewhere.path() + "/record", whole);
            ASSERT_EQ(::symlink((elsewhere.path() + "/record").c_str(), pendingPath().c_str()), 0);
        } else {
            test::writeFile(pendingPath(), content);
        }
        test::StdoutCapture log;
        ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_ONLY), std::nullopt) << what;
        EXPECT_THAT(log.text(), HasSubstr("ERROR: Pending upload file unreadable, removed!!")) << what;
        EXPECT_EQ(collector.uploads().back()["location_count"], 2) << what;
        struct stat st {};
        EXPECT_NE(::lstat(pendingPath().c_str(), &st), 0) << what;
        EXPECT_EQ(contentOf(tracesPath()), std::nullopt) << what;
    }
    EXPECT_EQ(collector.uploads().size(), records.size());
    EXPECT_TRUE(test::fileExists(elsewhere.path() + "/record")) << "the link's target is not ours";
}

// Without its record, a request whose answer is lost would be followed by the same fixes
// under a new key.
TEST_F(PushRequestTest, ARequestWhoseRecordCannotBeWrittenIsNotSent) {
    Collector collector;
    addTraces(2);
    const auto stored = contentOf(tracesPath());
    ASSERT_EQ(::mkdir(pendingPath().c_str(), 0700), 0);
    test::writeFile(pendingPath() + "/keep", "");  // a directory that cannot be removed either
    test::StdoutCapture log;
    EXPECT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_ONLY), PUSH_FAILED);
    EXPECT_THAT(log.text(),
                HasSubstr("ERROR: Push not sent: its pending upload file could not be written!!"));
    EXPECT_EQ(collector.uploads().size(), 0u);
    EXPECT_EQ(contentOf(tracesPath()), stored);
}

// A delivered retry removes exactly the lines its first attempt read, unreadable ones among
// them and a torn last one, so the same upload finds nothing more to send.
// The turn among processes is the upload lock: an upload that cannot have it sends nothing,
// and a forked child never keeps the parent's.
TEST_F(PushRequestTest, AnUploadGoesOutOnlyUnderTheUploadLockWhichNoChildInherits) {
    enum class Lock { forkedDuringTheUpload, unopenable };
    for (const auto lock : {Lock::forkedDuringTheUpload, Lock::unopenable}) {
        SCOPED_TRACE(lock == Lock::unopenable ? "a directory where the lock should be"
                                              : "a child forked mid-upload");
        Collector collector;
        addFix(1.5);
        const auto lockPath = home_.cachesDir() + "/upload.lock";
        pid_t child = -1;
        int childPipe[2] = {-1, -1};
        int started[2] = {-1, -1};
        if (lock == Lock::forkedDuringTheUpload) {
            // A pre-forking host forks while an upload holds the lock; the child lives on.
            test::ManualServer server;
            PushOutcome first;
            PushRequest(server.baseUrl(), server.baseUrl())
                .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_ONLY),
                          first.callback());
            ASSERT_TRUE(server.acceptRequest());
            ASSERT_EQ(::pipe(childPipe), 0);
            ASSERT_EQ(::pipe(started), 0);
            child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                char byte = 0;
                ::close(childPipe[1]);
                (void)!::write(started[1], &byte, 1);
                (void)!::read(childPipe[0], &byte, 1);
                std::_Exit(0);
            }
            // Once the child runs, whatever it was handed at the fork is its own.
            char byte;
            ASSERT_EQ(::read(started[0], &byte, 1), 1);
            ::close(started[0]);
            ::close(started[1]);
            server.respond(500);
            ASSERT_TRUE(first.wait());
            ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
        } else {
            ::unlink(lockPath.c_str());
            ASSERT_EQ(::mkdir(lockPath.c_str(), 0700), 0);
        }
        const auto outcome = pushTo(collector.baseUrl(), PushFormat::LOCATION_ONLY);
        if (lock == Lock::forkedDuringTheUpload) {
            EXPECT_EQ(outcome, std::nullopt);
            EXPECT_EQ(latitudesOn(collector).size(), 1u);
            ::close(childPipe[1]);
            ::close(childPipe[0]);
            ::waitpid(child, nullptr, 0);
        } else {
            EXPECT_EQ(outcome, LumvexException::PUSH_FAILED);
            EXPECT_TRUE(collector.uploads().empty());
            ::rmdir(lockPath.c_str());
        }
        ::unlink(pendingPath().c_str());
        ::unlink(tracesPath().c_str());
    }
}

TEST_F(PushRequestTest, ADeliveredRetryRemovesExactlyTheLinesItCarried) {
    const auto a = platform::base64Encode("1718445600123;1.5;2.5") + "\n";
    const auto b = platform::base64Encode("1718445601123;3.5;4.5") + "\n";
    const std::map<std::string, std::string> files = {
        {"an unreadable line between", a + "not a fix\n" + b},
        {"a torn last line", a + b + platform::base64Encode("1718445602123;5.5;6.5").substr(0, 12)},
    };
    test::ManualServer server;
    Collector collector;
    ASSERT_TRUE(platform::cachesDirectory());
    for (const auto& [what, content] : files) {
        SCOPED_TRACE(what);
        test::writeFile(tracesPath(), content);
        PushOutcome first;
        PushRequest(server.baseUrl(), server.baseUrl())
            .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_ONLY), first.callback());
        ASSERT_TRUE(server.acceptRequest());
        server.respond(503);
        ASSERT_TRUE(first.wait());
        ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));

        PushOutcome retry;
        PushRequest(server.baseUrl(), server.baseUrl())
            .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_ONLY), retry.callback());
        ASSERT_TRUE(server.acceptRequest());
        ASSERT_EQ(server.forwardTo(collector).status, 200);
        server.respond(200);
        ASSERT_TRUE(retry.wait());
        EXPECT_EQ(retry.error(), std::nullopt);
        ASSERT_TRUE(test::waitUntil([] { return UploadContext::process().outbox.idle(); }));
        EXPECT_FALSE(server.connectionWaiting(std::chrono::milliseconds(0)))
            << "the same fixes went out again";
        EXPECT_FALSE(test::fileExists(tracesPath()));
    }
    EXPECT_EQ(latitudesOn(collector), std::multiset<std::string>({"1.5", "1.5", "3.5", "3.5"}));
}

TEST_F(PushRequestTest, AFirstUploadReadsTheTracesBeforeTheDescription) {
    test::StdoutCapture log;
    Access::payload(PushRequest("http://127.0.0.1:1/", "http://127.0.0.1:1/"),
                    PushFormat::LOCATION_AND_DEVICE_INFO);
    const auto text = log.text();
    const auto traces = text.find("Impossible to read traces file");
    ASSERT_NE(traces, std::string::npos) << text;
    EXPECT_LT(traces, text.find("impossible to read device info file")) << text;
}

TEST_F(PushRequestTest, FixesStoredDuringTheUploadSurviveIt) {
    addTraces(3);
    test::ManualServer server;
    PushOutcome outcome;
    PushRequest(server.baseUrl(), server.baseUrl())
        .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_ONLY), outcome.callback());
    ASSERT_TRUE(server.acceptRequest());
    const auto sent = nlohmann::json::parse(server.request().substr(server.request().find("\r\n\r\n") + 4));
    ASSERT_EQ(sent["locations"].size(), 3u);

    TraceRepository::shared().addTrace(Location{10.5, 20.25});
    server.respond(200);
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.error(), std::nullopt);

    const auto left = storedRecords();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].at("lat"), "10.5");
    EXPECT_EQ(left[0].at("lng"), "20.25");
}

TEST_F(PushRequestTest, ADescriptionChangedDuringTheUploadIsSentByTheNextOne) {
    test::ManualServer server;
    PushOutcome outcome;
    PushRequest(server.baseUrl(), server.baseUrl())
        .sendPush(UploadContext::process(), *configuration(PushFormat::DEVICE_INFO_ONLY), outcome.callback());
    ASSERT_TRUE(server.acceptRequest());
    putSystemFile("/proc/sys/kernel/hostname", "grace-laptop\n");
    server.respond(200);
    ASSERT_TRUE(outcome.wait());
    ASSERT_EQ(outcome.error(), std::nullopt);

    // What was recorded is what went out, not what the device says now.
    EXPECT_TRUE(DeviceInfoRepository::shared().needDeviceInfoUpdate(currentDescriptionRecord()));
    Collector collector;
    ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::DEVICE_INFO_ONLY), std::nullopt);
    ASSERT_EQ(collector.uploads().size(), 1u);
    EXPECT_EQ(collector.uploads()[0]["body"]["devices_infos"]["device_name"], "grace-laptop");
    EXPECT_FALSE(DeviceInfoRepository::shared().needDeviceInfoUpdate(currentDescriptionRecord()));
}

TEST_F(PushRequestTest, ReportsSuccessOnTheSessionThreadWithItsLogLine) {
    Collector collector;
    addTraces(1);
    test::StdoutCapture log;
    PushOutcome outcome;
    bool onSessionThread = false;
    PushRequest(collector.baseUrl(), collector.baseUrl())
        .sendPush(UploadContext::process(), *configuration(PushFormat::LOCATION_ONLY),
                  [&](std::optional<LumvexException> e) {
                      onSessionThread = platform::UrlSession::shared().isCompletionThread();
                      outcome.callback()(e);
                  });
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(onSessionThread);
    EXPECT_THAT(log.text(),
                ContainsRegex("(^|\n)PushRequest\\.cpp:sendPush\\(_:callback:\\):[0-9]+ Push success\n"));
    EXPECT_EQ(outcome.calls(), 1);
}

}  // namespace
}  // namespace lumvex
