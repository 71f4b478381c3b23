#include "DeviceInfoRepository.h"
#include "DeviceInfoUtils.h"
#include "PushRequest.h"
#include "TraceRepository.h"
#include "platform/Device.h"
#include "platform/Text.h"
#include "platform/UrlSession.h"

#include "UploadFixture.h"
#include "UploadTestAccess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>

namespace lumvex {

namespace {

using Access = PushRequestTestAccess;
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
        PushRequest(base, base).sendPush(*configuration(format, PushRegion::EU, apiKey), outcome.callback());
        EXPECT_TRUE(outcome.wait());
        // The turn passes on only once the callback has returned; until then a following
        // upload would wait for it instead of running at once.
        EXPECT_TRUE(test::waitUntil([] { return PushRequest::idle(); }, std::chrono::seconds(10)));
        return outcome.error();
    }

    static std::string vendorId() { return platform::Device::identifierForVendor().value_or("none"); }
};

// ---- the body ----

TEST_F(PushRequestTest, SendsTracesAndChangedDescriptionThenClearsAndRecordsThem) {
    Collector collector;
    addTraces(2);
    const auto traces = TraceRepository::shared().getTracesAsDict();
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
        .sendPush(*configuration(PushFormat::DEVICE_INFO_ONLY), [callback](auto e) { (*callback)(e); });
    EXPECT_EQ(callback.use_count(), 1) << "nothing holds the callback, so it can never be called";
    EXPECT_THAT(log.text(), HasSubstr("Push is not necessary: "));
    EXPECT_EQ(collector.uploads().size(), 1u);
    EXPECT_EQ(contentOf(tracesPath()), stored);
}

TEST_F(PushRequestTest, BuildsTheDictionaryForEachFormat) {
    addTraces(2);
    const PushRequest request("http://127.0.0.1:1/", "http://127.0.0.1:1/");
    const auto traces = nlohmann::json(TraceRepository::shared().getTracesAsDict());
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
    EXPECT_EQ(TraceRepository::shared().getTracesAsDict().size(), 2u);

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
                {"locations", format == PushFormat::DEVICE_INFO_ONLY
                                  ? nlohmann::json::array()
                                  : nlohmann::json(TraceRepository::shared().getTracesAsDict())},
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

TEST_F(PushRequestTest, SerialisesCompactlyAndRefusesTextThatIsNotUtf8) {
    const nlohmann::json dict = {{"mac", "020000000000"},
                                 {"google_aid", "noid"},
                                 {"locations", {{{"timestamp", "1"}, {"lat", "2.5"}, {"lng", "-3"}}}},
                                 {"devices_infos", {{"is_tablet", false}, {"device_name", "Zoë"}}}};
    const auto data = Access::jsonPushAsData(dict);
    ASSERT_TRUE(data);
    EXPECT_EQ(nlohmann::json::parse(*data), dict);
    EXPECT_THAT(*data, Not(HasSubstr("\n")));
    EXPECT_THAT(*data, Not(HasSubstr(": ")));

    test::StdoutCapture log;
    auto broken = dict;
    broken["devices_infos"]["device_name"] = std::string("bad \xC3\x28 byte");
    EXPECT_EQ(Access::jsonPushAsData(broken), std::nullopt);
    EXPECT_THAT(log.text(), ContainsRegex("^PushRequest\\.cpp:jsonPushAsData:[0-9]+ ERROR: Error while json "
                                          "serialization!!\n$"));
}

// ---- where it goes ----

TEST_F(PushRequestTest, PostsToTheRegionsEndpoint) {
    Collector eu;
    Collector us;
    addTraces(1);
    PushOutcome toUs;
    PushRequest(eu.baseUrl(), us.baseUrl())
        .sendPush(*configuration(PushFormat::LOCATION_ONLY, PushRegion::US), toUs.callback());
    ASSERT_TRUE(toUs.wait());
    EXPECT_EQ(toUs.error(), std::nullopt);
    EXPECT_EQ(us.uploads().size(), 1u);
    EXPECT_EQ(eu.uploads().size(), 0u);

    addTraces(1);
    PushOutcome toEu;
    PushRequest(eu.baseUrl(), us.baseUrl())
        .sendPush(*configuration(PushFormat::LOCATION_ONLY, PushRegion::EU), toEu.callback());
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
    PushRequest().sendPush(*configuration(PushFormat::LOCATION_ONLY, PushRegion::US), outcome.callback());
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
            .sendPush(*configuration(PushFormat::LOCATION_ONLY),
                      [&](std::optional<LumvexException> e) { received = e; });
        ASSERT_TRUE(received) << "reported before sendPush returns, for \"" << base << "\"";
        EXPECT_EQ(*received, PUSH_FAILED);
        EXPECT_THAT(log.text(), HasSubstr("ERROR: Invalid push URL "));
    }
    EXPECT_EQ(contentOf(tracesPath()), stored);
}

// ---- outcomes ----

TEST_F(PushRequestTest, AnyStatusBut200FailsAndLeavesBothFiles) {
    addTraces(2);
    test::writeFile(specsPath(), "b2xkIGRlc2NyaXB0aW9u");  // an older description
    const auto traces = contentOf(tracesPath());
    const auto specs = contentOf(specsPath());
    std::set<std::string> keys;
    for (const int status : {201, 204, 400, 500}) {
        Collector collector(Collector::Options{status});
        test::StdoutCapture log;
        EXPECT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), PUSH_FAILED) << status;
        EXPECT_THAT(log.text(), ContainsRegex("(^|\n)PushRequest\\.cpp:sendPush\\(_:callback:\\):[0-9]+ "
                                              "ERROR: Push failed!!\n"))
            << status;
        EXPECT_EQ(collector.uploads().size(), 1u) << "the request did arrive";
        keys.insert(collector.uploads()[0]["idempotency_key"].get<std::string>());
        EXPECT_EQ(contentOf(tracesPath()), traces) << status;
        EXPECT_EQ(contentOf(specsPath()), specs) << status;
    }
    // Every retry of the same records names them with the same key, and the one that
    // succeeds too.
    Collector accepting;
    EXPECT_EQ(pushTo(accepting.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), std::nullopt);
    keys.insert(accepting.uploads()[0]["idempotency_key"].get<std::string>());
    EXPECT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys.begin()->size(), 64u);
}

TEST_F(PushRequestTest, TheIdempotencyKeyNamesExactlyTheRecordsCarried) {
    const nlohmann::json none = nullptr;
    const nlohmann::json description = {{"device_name", "a"}, {"is_tablet", false}};
    auto key = [](const std::vector<std::string>& lines, const nlohmann::json& d) {
        return PushRequest::idempotencyKey(lines, d);
    };
    const auto base = key({"AAA=", "BBB="}, description);
    EXPECT_EQ(base, key({"AAA=", "BBB="}, nlohmann::json::parse(description.dump())));
    EXPECT_EQ(key({"AAA="}, none), key({"AAA="}, nlohmann::json::object())) << "an empty description is none";
    // Any difference in what is carried gives another key, also where a plain
    // concatenation of the parts would be the same.
    const std::vector<std::string> others = {
        key({"BBB=", "AAA="}, description),
        key({"AAA=BBB="}, description),
        key({"AAA=", "BBB=", ""}, description),
        key({"AAA=", "BBB="}, none),
        key({"AAA=", "BBB="}, {{"device_name", "b"}, {"is_tablet", false}}),
        key({"AAA="}, description),
        key({}, description),
        key({}, none),
        key({"AAA=", "BBB=", "CCC="}, description)};
    std::set<std::string> all(others.begin(), others.end());
    all.insert(base);
    EXPECT_EQ(all.size(), others.size() + 1);

    // On the wire: the lines as stored, and the description as sent.
    Collector collector;
    addTraces(3);
    const auto lines = TraceRepository::shared().readTraces().recordLines;
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_AND_DEVICE_INFO), std::nullopt);
    const auto upload = collector.uploads()[0];
    EXPECT_EQ(upload["idempotency_key"], key(lines, upload["body"]["devices_infos"]));
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
            .sendPush(*configuration(PushFormat::LOCATION_AND_DEVICE_INFO), outcome.callback());
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
            .sendPush(*configuration(format), [outcome](auto e) { outcome->callback()(e); });
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

// A record of an unconfirmed upload that is not one of ours is dropped, never sent: the
// upload goes on with what the trace file holds.
TEST_F(PushRequestTest, AnUnusablePendingRecordIsRemovedAndTheStoredFixesGoOut) {
    const auto pending = home_.cachesDir() + "/pending.lmx";
    const auto magic = platform::base64Encode("lumvex pending upload 1") + "\n";
    const auto foreignFix = platform::base64Encode("1718445600123;1.5;2.5");
    const std::map<std::string, std::string> records = {
        {"foreign text", "not a record\n"},
        {"another layout", platform::base64Encode("lumvex pending upload 2") + "\n\n" + foreignFix + "\n"},
        {"a line that is no fix", magic + "\n" + platform::base64Encode("1;2") + "\n"},
        {"a description that is no object", magic + platform::base64Encode("[1]") + "\n"},
        {"cut short", magic + "\n" + foreignFix},
        {"too large", magic + "\n" + std::string(2 << 20, 'A') + "\n"},
        {"a link to a usable one", ""},
    };
    Collector collector;
    test::TempDir elsewhere;
    for (const auto& [what, content] : records) {
        addTraces(2);
        const auto lines = TraceRepository::shared().readTraces().recordLines;
        if (content.empty()) {
            test::writeFile(elsewhere.path() + "/record", magic + "\n" + foreignFix + "\n");
            ASSERT_EQ(::symlink((elsewhere.path() + "/record").c_str(), pending.c_str()), 0);
        } else {
            test::writeFile(pending, content);
        }
        test::StdoutCapture log;
        ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::LOCATION_ONLY), std::nullopt) << what;
        EXPECT_THAT(log.text(), HasSubstr("ERROR: Pending upload file unreadable, removed!!")) << what;
        const auto upload = collector.uploads().back();
        EXPECT_EQ(upload["location_count"], 2) << what;
        EXPECT_EQ(upload["idempotency_key"], PushRequest::idempotencyKey(lines, nullptr)) << what;
        struct stat st {};
        EXPECT_NE(::lstat(pending.c_str(), &st), 0) << what;
        EXPECT_EQ(contentOf(tracesPath()), std::nullopt) << what;
    }
    EXPECT_TRUE(test::fileExists(elsewhere.path() + "/record")) << "the link's target is not ours";
}

TEST_F(PushRequestTest, FixesStoredDuringTheUploadSurviveIt) {
    addTraces(3);
    test::ManualServer server;
    PushOutcome outcome;
    PushRequest(server.baseUrl(), server.baseUrl())
        .sendPush(*configuration(PushFormat::LOCATION_ONLY), outcome.callback());
    ASSERT_TRUE(server.acceptRequest());
    const auto sent = nlohmann::json::parse(server.request().substr(server.request().find("\r\n\r\n") + 4));
    ASSERT_EQ(sent["locations"].size(), 3u);

    TraceRepository::shared().addTrace(Location{10.5, 20.25});
    server.respond(200);
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.error(), std::nullopt);

    const auto left = TraceRepository::shared().getTracesAsDict();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].at("lat"), "10.5");
    EXPECT_EQ(left[0].at("lng"), "20.25");
}

TEST_F(PushRequestTest, ADescriptionChangedDuringTheUploadIsSentByTheNextOne) {
    test::ManualServer server;
    PushOutcome outcome;
    PushRequest(server.baseUrl(), server.baseUrl())
        .sendPush(*configuration(PushFormat::DEVICE_INFO_ONLY), outcome.callback());
    ASSERT_TRUE(server.acceptRequest());
    putSystemFile("/proc/sys/kernel/hostname", "grace-laptop\n");
    server.respond(200);
    ASSERT_TRUE(outcome.wait());
    ASSERT_EQ(outcome.error(), std::nullopt);

    // What was recorded is what went out, not what the device says now.
    EXPECT_TRUE(DeviceInfoRepository::shared().needDeviceInfoUpdate());
    Collector collector;
    ASSERT_EQ(pushTo(collector.baseUrl(), PushFormat::DEVICE_INFO_ONLY), std::nullopt);
    ASSERT_EQ(collector.uploads().size(), 1u);
    EXPECT_EQ(collector.uploads()[0]["body"]["devices_infos"]["device_name"], "grace-laptop");
    EXPECT_FALSE(DeviceInfoRepository::shared().needDeviceInfoUpdate());
}

TEST_F(PushRequestTest, ReportsSuccessOnTheSessionThreadWithItsLogLine) {
    Collector collector;
    addTraces(1);
    test::StdoutCapture log;
    PushOutcome outcome;
    bool onSessionThread = false;
    PushRequest(collector.baseUrl(), collector.baseUrl())
        .sendPush(*configuration(PushFormat::LOCATION_ONLY), [&](std::optional<LumvexException> e) {
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
