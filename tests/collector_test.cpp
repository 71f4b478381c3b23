// The development collector that the upload tests rely on: what it accepts, what it
// refuses and why, and what it lists.

#include "Collector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace lumvex::test {
namespace {

using ::testing::HasSubstr;

nlohmann::json validBody() {
    return {{"mac", "020000000000"},
            {"google_aid", "6F1C2B7A-94D3-4E58-B0A1-3C5D7E9F2468"},
            {"locations",
             {{{"timestamp", "2017-05-04T09:12:00Z"}, {"lat", "48.85837"}, {"lng", "2.294481"}},
              {{"timestamp", "2017-05-04T09:27:00Z"}, {"lat", "48.86061"}, {"lng", "2.337644"}}}},
            {"devices_infos",
             {{"os_version", "10.3.1"},
              {"device_brand", "apple"},
              {"device_id", "iPhone"},
              {"system_name", "iOS"},
              {"app_version", "2.4.0"},
              {"device_locale", "fr"},
              {"device_country", "FR"},
              {"timezone", "Europe/Paris"},
              {"User-Agent", "ios/1.0.0"},
              {"device_name", "Example phone"},
              {"is_tablet", false}}}};
}

TEST(CollectorTest, KeepsWellFormedUploadsPerKeyAndDevice) {
    Collector collector;
    const auto url = collector.baseUrl() + "api/v1/key-1/send_locations";
    EXPECT_EQ(httpPost(url, validBody().dump()).status, 200);
    auto onlyDevice = validBody();
    onlyDevice["locations"] = nlohmann::json::array();
    onlyDevice["google_aid"] = "noid";
    EXPECT_EQ(httpPost(url, onlyDevice.dump()).status, 200);
    auto onlyLocations = validBody();
    onlyLocations["devices_infos"] = nlohmann::json::object();
    EXPECT_EQ(httpPost(collector.baseUrl() + "api/v1/key%202/send_locations", onlyLocations.dump()).status,
              200);

    const auto all = collector.uploads();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]["body"], validBody());
    EXPECT_EQ(all[0]["location_count"], 2);
    EXPECT_EQ(all[0]["has_device_info"], true);
    EXPECT_EQ(all[2]["api_key"], "key 2");
    EXPECT_EQ(collector.uploads("key-1").size(), 2u);

    const auto summary = collector.summary();
    EXPECT_EQ(summary["key-1"]["noid"]["uploads"], 1);
    EXPECT_EQ(summary["key-1"]["6F1C2B7A-94D3-4E58-B0A1-3C5D7E9F2468"]["locations"], 2);
    EXPECT_EQ(summary["key 2"]["6F1C2B7A-94D3-4E58-B0A1-3C5D7E9F2468"]["device_infos"], 0);
    EXPECT_THAT(httpGet(collector.baseUrl() + "summary.txt").body, HasSubstr("key-1"));
}

TEST(CollectorTest, RefusesMalformedBodiesWithAReason) {
    Collector collector;
    const auto url = collector.baseUrl() + "api/v1/k/send_locations";
    auto refused = [&](const std::string& body, const std::string& reason) {
        const auto result = httpPost(url, body);
        EXPECT_EQ(result.status, 400) << body;
        EXPECT_THAT(result.body, HasSubstr(reason)) << body;
    };
    auto with = [](const std::function<void(nlohmann::json&)>& change) {
        auto body = validBody();
        change(body);
        return body.dump();
    };
    refused("{\"mac\":", "not JSON");
    refused("[]", "not a JSON object");
    refused(with([](auto& b) { b.erase("google_aid"); }), "no member \\\"google_aid\\\"");
    refused(with([](auto& b) { b["extra"] = 1; }), "unexpected member \\\"extra\\\"");
    refused(with([](auto& b) { b["mac"] = 20; }), "\\\"mac\\\" is not a string");
    refused(with([](auto& b) { b["locations"] = nlohmann::json::object(); }), "not an array");
    refused(with([](auto& b) { b["locations"][1]["lat"] = 48.8; }), "locations[1].lat is not a string");
    refused(with([](auto& b) { b["locations"][0].erase("lng"); }), "locations[0] has no member");
    refused(with([](auto& b) { b["devices_infos"] = nlohmann::json::array(); }), "not an object");
    refused(with([](auto& b) { b["devices_infos"]["is_tablet"] = "no"; }), "is_tablet is not a Boolean");
    refused(with([](auto& b) { b["devices_infos"].erase("timezone"); }), "has no member \\\"timezone\\\"");
    EXPECT_EQ(collector.uploads().size(), 0u);

    EXPECT_EQ(httpPost(collector.baseUrl() + "api/v1/a/b/send_locations", validBody().dump()).status, 404);
    EXPECT_EQ(httpPost(collector.baseUrl() + "api/v1/k/send_locations?x=1", validBody().dump()).status, 404);
    EXPECT_EQ(httpPost(collector.baseUrl() + "api/v2/k/send_locations", validBody().dump()).status, 404);
}

TEST(CollectorTest, AnswersAFixedStatusWhenToldTo) {
    Collector collector(Collector::Options{503});
    EXPECT_EQ(httpPost(collector.baseUrl() + "api/v1/k/send_locations", validBody().dump()).status, 503);
    EXPECT_EQ(httpPost(collector.baseUrl() + "api/v1/k/send_locations", "nope").status, 503);
    const auto uploads = collector.uploads();
    ASSERT_EQ(uploads.size(), 1u) << "well-formed uploads are kept all the same";
    EXPECT_EQ(uploads[0]["status"], 503);
}

TEST(CollectorTest, KeepsOneUploadPerAcceptedIdempotencyKey) {
    Collector collector;
    Collector refusing(Collector::Options{503});
    const auto body = validBody().dump();
    auto post = [&](const Collector& to, const std::string& apiKey, const std::string& key) {
        const auto headers =
            key.empty() ? std::vector<std::string>{} : std::vector<std::string>{"Idempotency-Key: " + key};
        return httpPost(to.baseUrl() + "api/v1/" + apiKey + "/send_locations", body, "application/json",
                        headers);
    };
    const auto first = post(collector, "k1", "abc");
    const auto again = post(collector, "k1", "abc");
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(nlohmann::json::parse(again.body)["id"], nlohmann::json::parse(first.body)["id"]);
    EXPECT_EQ(post(collector, "k2", "abc").status, 200) << "keys are per API key";
    EXPECT_EQ(post(collector, "k1", "").status, 200);
    EXPECT_EQ(post(collector, "k1", "").status, 200) << "without a key, every upload is kept";
    EXPECT_EQ(collector.keptPerKey(), (std::map<std::string, int>{{"abc", 2}, {"", 2}}));
    EXPECT_EQ(collector.uploads("k1")[0]["replays"], 1);
    EXPECT_EQ(collector.summary()["k1"]["6F1C2B7A-94D3-4E58-B0A1-3C5D7E9F2468"]["locations"], 6);

    // A key is accepted only by a 200: what was refused may come again and is kept again.
    EXPECT_EQ(post(refusing, "k1", "abc").status, 503);
    EXPECT_EQ(post(refusing, "k1", "abc").status, 503);
    EXPECT_EQ(refusing.keptPerKey(), (std::map<std::string, int>{{"abc", 2}}));
}

TEST(CollectorTest, RefusesAnOversizedBodyAndListsOnlyEachDevicesRecentFixes) {
    Collector collector(Collector::Options{std::nullopt, nullptr, {"--listed-fixes", "4"}});
    const auto url = collector.baseUrl() + "api/v1/k/send_locations";
    auto big = validBody();
    big["google_aid"] = std::string(std::size_t{1} << 20, 'x');
    EXPECT_EQ(httpPost(url, big.dump()).status, 413);

    auto withLatitudes = [](std::vector<std::string> latitudes, bool description) {
        auto body = validBody();
        body["locations"] = nlohmann::json::array();
        for (const auto& lat : latitudes) {
            body["locations"].push_back({{"timestamp", "2017-05-04T09:12:00Z"}, {"lat", lat}, {"lng", "1"}});
        }
        if (!description) {
            body["devices_infos"] = nlohmann::json::object();
        }
        return body.dump();
    };
    for (const auto& body : {withLatitudes({"1", "2"}, false), withLatitudes({"3", "4"}, false),
                             withLatitudes({}, true), withLatitudes({"5", "6"}, false)}) {
        ASSERT_EQ(httpPost(url, body).status, 200);
    }
    auto other = validBody();
    other["google_aid"] = "noid";
    ASSERT_EQ(httpPost(url, other.dump()).status, 200);

    // Newest first: "5" and "6", the description alone counting as one, then only the
    // latest fix of the upload before it.
    const auto listed = collector.uploads("k");
    std::vector<std::string> latitudes;
    for (const auto& upload : listed) {
        if (upload["device"] != "noid") {
            for (const auto& location : upload["body"]["locations"]) {
                latitudes.push_back(location["lat"]);
            }
        }
    }
    EXPECT_EQ(latitudes, (std::vector<std::string>{"4", "5", "6"}));
    ASSERT_EQ(listed.size(), 4u) << "the other device is listed on its own account";
    EXPECT_EQ(listed[0]["truncated"], true);
    EXPECT_EQ(listed[0]["location_count"], 2);
    EXPECT_EQ(collector.summary()["k"]["6F1C2B7A-94D3-4E58-B0A1-3C5D7E9F2468"]["locations"], 6);
    EXPECT_EQ(httpGet(collector.baseUrl()).status, 200);
}

TEST(CollectorTest, RefusesBadCommandLinesWithOneMessageAndReadsNoMissingDatabase) {
    TempDir dir;
    SilentServer busy;
    const auto missing = dir.file("missing.sqlite");
    const auto db = dir.file("collector.sqlite");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;  // the whole of standard error
    } cases[] = {
        {{"--port"}, 2, "lumvex-collector: --port needs a value\n"},
        {{"--port=70000"}, 2, "lumvex-collector: --port takes a number from 0 to 65535\n"},
        {{"--bogus"}, 2, "lumvex-collector: unknown option --bogus\n"},
        {{"--db", db, "--port", std::to_string(busy.port())},
         1,
         "lumvex-collector: cannot listen on 127.0.0.1:" + std::to_string(busy.port()) +
             ": Address already in use\n"},
        {{"--db", missing, "--summary"},
         1,
         "lumvex-collector: cannot read the database " + missing + ": No such file or directory\n"},
    };
    for (const auto& c : cases) {
        const auto result = runCollectorCommand(c.args);
        EXPECT_EQ(result.status, c.status) << c.args.front();
        // Usage text may follow a refusal; the first line is the reason, and it comes once.
        EXPECT_EQ(result.errors.substr(0, c.message.size()), c.message) << result.errors;
        EXPECT_EQ(result.errors.find(c.message, 1), std::string::npos) << result.errors;
    }
    EXPECT_FALSE(fileExists(missing)) << "a summary must not make a database";
}

}  // namespace
}  // namespace lumvex::test
