// The development collector that the upload tests rely on: what it accepts, what it
// refuses and why, and what it lists.

#include "Collector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace lumvex::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

/// A client that speaks to the collector byte by byte, to shape requests as curl will not.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    bool send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    /// Waits up to `timeout` for the collector to say something or close; false when
    /// neither happened.
    bool answerOrEnd(std::chrono::milliseconds timeout) {
        pollfd pfd{fd_, POLLIN, 0};
        return ::poll(&pfd, 1, static_cast<int>(timeout.count())) > 0;
    }
    /// Everything the collector sends until it closes the connection (or `timeout`).
    std::string readToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd pfd{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                return out + "<timeout>";
            }
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return out;
            }
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::string rawPost(const std::string& key, const std::string& extraHeaders, const std::string& bodyPart) {
    return "POST /api/v1/" + key + "/send_locations HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
           "Content-Type: application/json\r\nConnection: close\r\n" + extraHeaders + "\r\n" + bodyPart;
}

std::string chunked(const std::string& body, std::size_t piece) {
    std::string out;
    for (std::size_t at = 0; at < body.size(); at += piece) {
        const auto part = body.substr(at, piece);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        out += size + part + "\r\n";
    }
    return out + "0\r\n\r\n";
}

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

    // The same key at once from several clients: one is kept, the others replay it.
    std::vector<std::thread> clients;
    std::atomic<int> kept{0}, replayed{0};
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([&] {
            const auto result = post(collector, "k3", "together");
            if (result.status == 200) {
                ++(nlohmann::json::parse(result.body).contains("replayed") ? replayed : kept);
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_EQ(kept, 1);
    EXPECT_EQ(replayed, 7);
    EXPECT_EQ(collector.uploads("k3").size(), 1u);

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

TEST(CollectorTest, ReadsBodiesHoweverFramedAndHoldsTheLimit) {
    Collector collector(
        Collector::Options{std::nullopt, nullptr, {"--max-body", "1000", "--max-bodies-being-read", "1000"}});
    const std::string fits = validBody().dump();
    ASSERT_LT(fits.size(), 1000u);
    const std::string over(1001, ' ');
    struct Case {
        const char* what;
        std::string request;
        const char* status;
    } cases[] = {
        {"chunked, within the limit", rawPost("k", "Transfer-Encoding: chunked\r\n", chunked(fits, 100)),
         " 200 "},
        {"chunked, one byte over", rawPost("k", "Transfer-Encoding: chunked\r\n", chunked(over, 100)),
         " 413 "},
        {"chunked, one chunk over", rawPost("k", "Transfer-Encoding: chunked\r\n", chunked(over, 2000)),
         " 413 "},
        {"announced length over", rawPost("k", "Content-Length: 1001\r\n", over), " 413 "},
    };
    for (const auto& c : cases) {
        RawClient client(collector.port());
        ASSERT_TRUE(client.connected());
        client.send(c.request);
        const auto answer = client.readToEnd();
        EXPECT_THAT(answer.substr(0, 16), HasSubstr(c.status)) << c.what << ": " << answer;
        EXPECT_THAT(answer, Not(HasSubstr("<timeout>"))) << c.what << ": the connection must end";
    }

    // Two requests at once on one kept-alive connection are answered in turn.
    RawClient pipelined(collector.port());
    const auto keepAlive = "POST /api/v1/k/send_locations HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                           std::to_string(fits.size()) + "\r\n\r\n" + fits;
    pipelined.send(keepAlive + rawPost("k", "Content-Length: " + std::to_string(fits.size()) + "\r\n", fits));
    const auto both = pipelined.readToEnd();
    EXPECT_THAT(both, HasSubstr("Connection: keep-alive"));
    EXPECT_EQ(both.find("HTTP/1.1 200"), 0u) << both;
    EXPECT_NE(both.find("HTTP/1.1 200", 1), std::string::npos) << both;

    // A chunked body that never ends: the collector stops reading at the limit and closes,
    // so the client cannot go on sending.
    RawClient endless(collector.port());
    endless.send(rawPost("k", "Transfer-Encoding: chunked\r\n", ""));
    const std::string chunk = "1000\r\n" + std::string(4096, 'x') + "\r\n";
    int sent = 0;
    while (sent < 4096 && endless.send(chunk)) {
        ++sent;
        if (endless.answerOrEnd(std::chrono::milliseconds(0))) {
            break;
        }
    }
    EXPECT_THAT(endless.readToEnd(), HasSubstr(" 413 "));
    EXPECT_LT(sent, 4096) << "16 MiB went in without the collector stopping it";

    // Two uploads that each fit, both begun and not ended, pass the bound on the bodies
    // being read at once: the one read second is answered 503, the other kept once it ends.
    const std::string padded = fits + std::string(1000 - fits.size(), ' ');
    const std::string begun = rawPost("k", "Content-Length: 1000\r\n", padded.substr(0, 999));
    RawClient first(collector.port());
    RawClient second(collector.port());
    ASSERT_TRUE(first.send(begun) && second.send(begun));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool firstRefused = false;
    while (!(firstRefused = first.answerOrEnd(std::chrono::milliseconds(20))) &&
           !second.answerOrEnd(std::chrono::milliseconds(20))) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "neither upload was refused";
    }
    RawClient& refused = firstRefused ? first : second;
    RawClient& kept = firstRefused ? second : first;
    EXPECT_THAT(refused.readToEnd().substr(0, 16), HasSubstr(" 503 "));
    kept.send(padded.substr(999));
    EXPECT_THAT(kept.readToEnd().substr(0, 16), HasSubstr(" 200 "));
    EXPECT_EQ(collector.uploads().size(), 4u);
}

TEST(CollectorTest, RefusesEveryRequestThatCouldBeReadTwoWays) {
    Collector collector(Collector::Options{std::nullopt, nullptr, {"--max-body", "1000"}});
    // Each request carries a second one where a server that misreads its framing would
    // find it: only one answer may come, and the connection must end after it.
    const std::string smuggled = "GET /summary HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string length = "Content-Length: " + std::to_string(smuggled.size()) + "\r\n";
    const std::string chunkedSmuggled = chunked(smuggled, 100);
    const std::string head = "POST /api/v1/k/send_locations HTTP/1.1\r\nHost: x\r\n";
    struct Case {
        const char* what;
        std::string request;
        const char* status;
    } cases[] = {
        {"space before the colon of Content-Length", head + "Content-Length : 33\r\n\r\n" + smuggled,
         " 400 "},
        {"space before the colon of Transfer-Encoding",
         head + "Transfer-Encoding : chunked\r\n\r\n" + chunkedSmuggled, " 400 "},
        {"empty Content-Length", head + "Content-Length:\r\n\r\n" + smuggled, " 400 "},
        {"two different Content-Length values", head + length + "Content-Length: 0\r\n\r\n" + smuggled,
         " 400 "},
        {"chunked, then identity", head + "Transfer-Encoding: chunked, identity\r\n\r\n" + chunkedSmuggled,
         " 400 "},
        {"chunked twice", head + "Transfer-Encoding: chunked, chunked\r\n\r\n" + chunkedSmuggled, " 501 "},
        {"a coding we do not undo", head + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunkedSmuggled,
         " 501 "},
        {"two Transfer-Encoding fields",
         head + "Transfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n\r\n" + chunkedSmuggled,
         " 400 "},
        {"Transfer-Encoding and Content-Length",
         head + "Transfer-Encoding: chunked\r\n" + length + "\r\n" + chunkedSmuggled, " 400 "},
        {"NUL in a header value",
         head + "X-Note: a" + std::string(1, '\0') + "b\r\n" + length + "\r\n" + smuggled, " 400 "},
        {"Content-Length that is not a number", head + "Content-Length: 3x\r\n\r\n" + smuggled, " 400 "},
        {"negative Content-Length", head + "Content-Length: -1\r\n\r\n" + smuggled, " 400 "},
        {"Content-Length past 64 bits", head + "Content-Length: 99999999999999999999999\r\n\r\n" + smuggled,
         " 400 "},
        {"chunk size that is not hex", head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" + smuggled, " 400 "},
        {"lines ended by LF alone",
         "POST /api/v1/k/send_locations HTTP/1.1\nHost: x\n" + length + "\n" + smuggled, " 400 "},
        {"bare CR in a value", head + "X-Note: a\rb\r\n" + length + "\r\n" + smuggled, " 400 "},
        {"unknown version",
         "POST /api/v1/k/send_locations HTTP/2.0\r\nHost: x\r\n" + length + "\r\n" + smuggled, " 400 "},
        {"target that is not a path", "GET http://x/summary HTTP/1.1\r\nHost: x\r\n\r\n" + smuggled, " 400 "},
        {"head past 16 KiB", head + "X-Big: " + std::string(17000, 'a') + "\r\n\r\n", " 431 "},
    };
    for (const auto& c : cases) {
        RawClient client(collector.port());
        ASSERT_TRUE(client.connected());
        client.send(c.request);
        const auto answer = client.readToEnd();
        EXPECT_EQ(answer.substr(0, 13), std::string("HTTP/1.1") + c.status) << c.what << ": " << answer;
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << c.what << ": a second answer came";
        EXPECT_THAT(answer, Not(HasSubstr("<timeout>"))) << c.what << ": the connection must end";
    }
    EXPECT_EQ(collector.uploads().size(), 0u);
}

TEST(CollectorTest, KeepsKeysDevicesAndIdempotencyKeysWholeOrRefusesThemOnEveryStore) {
    std::optional<PostgresServer> postgres;
    std::vector<std::vector<std::string>> stores = {{}};
    if (!PostgresServer::programs().empty()) {
        postgres.emplace();
        stores.push_back({"--db", postgres->uri()});
    }
    for (const auto& store : stores) {
        Collector collector(Collector::Options{std::nullopt, nullptr, store});
        const auto url = collector.baseUrl() + "api/v1/";
        auto device = [](const std::string& name) {
            auto body = validBody();
            body["google_aid"] = name;
            return body.dump();
        };
        const std::string what = store.empty() ? "SQLite" : "PostgreSQL";
        EXPECT_EQ(httpPost(url + "ak%00one/send_locations", validBody().dump()).status, 400) << what;
        EXPECT_EQ(httpPost(url + "k/send_locations", device(std::string("phone\0one", 9))).status, 400)
            << what;
        for (const std::string& key : {std::string("a\0b", 3), std::string("\xc3")}) {
            RawClient client(collector.port());
            const auto body = validBody().dump();
            client.send(rawPost(
                "k",
                "Idempotency-Key: " + key + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n",
                body));
            EXPECT_THAT(client.readToEnd().substr(0, 13), HasSubstr(" 400")) << what;
        }
        // Devices that differ only after a control character are two devices, and a line
        // feed in one does not forge a line of the collector's text output.
        for (const char* name : {"phone\x01one", "phone\nforged -> 200"}) {
            EXPECT_EQ(httpPost(url + "k/send_locations", device(name)).status, 200) << what;
        }
        const auto text = httpGet(collector.baseUrl() + "summary.txt").body;
        EXPECT_THAT(text, HasSubstr("phone\\x01one")) << what;
        EXPECT_THAT(text, HasSubstr("phone\\x0aforged -> 200")) << what;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << what << ": totals, header, two devices\n"
                                                                 << text;
        EXPECT_EQ(collector.summary()["k"].size(), 2u) << what;
    }
}

TEST(CollectorTest, RefusesKeysThatAreNotUtf8AndListsWhateverBytesCame) {
    Collector collector;
    EXPECT_EQ(httpPost(collector.baseUrl() + "api/v1/%FF/send_locations", validBody().dump()).status, 400);
    EXPECT_EQ(httpPost(collector.baseUrl() + "api/v1/%C0%AF/send_locations", validBody().dump()).status, 400)
        << "an overlong form is not UTF-8 either";
    EXPECT_EQ(httpPost(collector.baseUrl() + "api/v1/gr%C3%BCn/send_locations", validBody().dump()).status,
              200);
    // Headers are kept as they came, whatever their bytes; the listings must still be read.
    const auto body = validBody().dump();
    RawClient client(collector.port());
    client.send(rawPost(
        "k", "User-Agent: \xff\xfe\r\nContent-Length: " + std::to_string(body.size()) + "\r\n", body));
    EXPECT_THAT(client.readToEnd(), HasSubstr(" 200 "));

    const auto uploads = collector.uploads();
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0]["api_key"], "gr\u00fcn");
    EXPECT_EQ(uploads[1]["user_agent"], "\ufffd\ufffd");
    EXPECT_EQ(collector.summary().size(), 2u);
    EXPECT_EQ(httpGet(collector.baseUrl()).status, 200);
    EXPECT_EQ(httpGet(collector.baseUrl() + "summary.txt").status, 200);
}

TEST(CollectorTest, CutsOffSlowClientsAndAnswersOthersBesideThem) {
    Collector collector(Collector::Options{std::nullopt, nullptr, {"--request-deadline-ms", "1500"}});
    // 64 clients that began a request and send nothing more.
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 64; ++i) {
        slow.push_back(std::make_unique<RawClient>(collector.port()));
        ASSERT_TRUE(slow.back()->connected());
        slow.back()->send("POST /api/v1/k/send_locations HTTP/1.1\r\nHo");
    }
    EXPECT_EQ(httpPost(collector.baseUrl() + "api/v1/k/send_locations", validBody().dump()).status, 200);

    // One more that keeps sending a header byte every 50 ms: steady, but never done. Its
    // time is counted for the whole request, so it is cut off however steadily it sends.
    RawClient trickle(collector.port());
    trickle.send("POST /api/v1/k/send_locations HTTP/1.1\r\nX-Slow: ");
    const auto began = std::chrono::steady_clock::now();
    bool cut = false;
    while (!cut && std::chrono::steady_clock::now() - began < std::chrono::seconds(30)) {
        cut = trickle.answerOrEnd(std::chrono::milliseconds(50)) || !trickle.send("a");
    }
    ASSERT_TRUE(cut) << "a client that trickles its head was served for 30 s";
    EXPECT_THAT(trickle.readToEnd(), HasSubstr(" 408 "));
    for (auto& client : slow) {
        EXPECT_THAT(client->readToEnd(), HasSubstr(" 408 "));
    }
}

TEST(CollectorTest, ListsInBoundedPagesThatLinkOnward) {
    Collector collector;
    const auto url = collector.baseUrl() + "api/v1/k/send_locations";
    for (int i = 0; i < 55; ++i) {
        auto body = validBody();
        body["google_aid"] = "device-" + std::to_string(100 + i);
        ASSERT_EQ(httpPost(url, body.dump()).status, 200);
    }
    const auto first = httpGet(collector.baseUrl() + "uploads?limit=20");
    EXPECT_EQ(nlohmann::json::parse(first.body).size(), 20u);
    EXPECT_THAT(first.nextPage, HasSubstr("after="));
    EXPECT_EQ(collector.uploads().size(), 55u) << "following the links reaches every upload";
    EXPECT_EQ(collector.summary()["k"].size(), 55u);

    // The page shows a bounded number of devices and links the rest.
    const auto page = httpGet(collector.baseUrl()).body;
    EXPECT_THAT(page, HasSubstr("data-device=\"device-149\""));
    EXPECT_THAT(page, Not(HasSubstr("data-device=\"device-150\"")));
    EXPECT_THAT(page, HasSubstr("55 upload(s) from 1 key(s) and 55 device(s)"));
    const auto next = page.find("rel=\"next\" href=\"/");
    ASSERT_NE(next, std::string::npos);
    const auto href = page.substr(next + 17, page.find('"', next + 17) - next - 17);
    std::string target;
    for (std::size_t i = 0; i < href.size(); ++i) {
        target += href.compare(i, 5, "&amp;") == 0 ? (i += 4, '&') : href[i];
    }
    const auto rest = httpGet(collector.baseUrl() + target.substr(1)).body;
    EXPECT_THAT(rest, HasSubstr("data-device=\"device-150\""));
    EXPECT_THAT(rest, HasSubstr("data-device=\"device-154\""));
    EXPECT_THAT(rest, Not(HasSubstr("data-device=\"device-149\"")));
}

TEST(CollectorTest, RemovesUploadsOlderThanTheRetention) {
    // 0.00005 days is 4.3 s.
    Collector collector(Collector::Options{std::nullopt, nullptr, {"--retain-days", "0.00005"}});
    const auto url = collector.baseUrl() + "api/v1/k/send_locations";
    ASSERT_EQ(httpPost(url, validBody().dump(), "application/json", {"Idempotency-Key: old"}).status, 200);
    ASSERT_EQ(httpPost(url, validBody().dump()).status, 200);
    EXPECT_TRUE(waitUntil([&] { return collector.uploads().empty(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(collector.summary().empty()) << "the counters go with the uploads";
    EXPECT_THAT(httpGet(collector.baseUrl()).body, HasSubstr("0 upload(s) from 0 key(s) and 0 device(s)"));
    // A removed upload's key is forgotten with it.
    ASSERT_EQ(httpPost(url, validBody().dump(), "application/json", {"Idempotency-Key: old"}).status, 200);
    EXPECT_EQ(collector.uploads().size(), 1u);
}

TEST(CollectorTest, CollectorsSharingPostgresKeepEachKeyOnce) {
    if (PostgresServer::programs().empty()) {
        GTEST_SKIP() << "PostgreSQL is not installed (scripts/install-deps.sh --test installs it)";
    }
    PostgresServer postgres;
    Collector one(Collector::Options{std::nullopt, nullptr, {"--db", postgres.uri()}});
    Collector two(Collector::Options{std::nullopt, nullptr, {"--db", postgres.uri()}});
    EXPECT_EQ(httpPost(one.baseUrl() + "api/v1/%FF/send_locations", validBody().dump()).status, 400);
    EXPECT_EQ(httpPost(one.baseUrl() + "api/v1/k/send_locations", "{}").status, 400);

    // Each key sent to both collectors at once, as a load balancer might after a retry.
    const auto body = validBody().dump();
    std::atomic<int> kept{0}, replayed{0}, failed{0};
    std::map<std::string, int> expected;
    for (int round = 0; round < 10; ++round) {
        const std::string key = "key-" + std::to_string(round);
        expected[key] = 1;
        std::vector<std::thread> clients;
        for (const Collector* to : {&one, &two}) {
            clients.emplace_back([&, to, key] {
                const auto result = httpPost(to->baseUrl() + "api/v1/k/send_locations", body,
                                             "application/json", {"Idempotency-Key: " + key});
                if (result.status != 200) {
                    ++failed;
                } else {
                    ++(nlohmann::json::parse(result.body).contains("replayed") ? replayed : kept);
                }
            });
        }
        for (auto& client : clients) {
            client.join();
        }
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(kept, 10);
    EXPECT_EQ(replayed, 10);
    EXPECT_EQ(one.keptPerKey(), expected);
    EXPECT_EQ(two.keptPerKey(), expected);
    const auto uploads = two.uploads();
    ASSERT_EQ(uploads.size(), 10u);
    EXPECT_EQ(uploads[0]["body"], validBody());
    EXPECT_EQ(uploads[0]["replays"], 1);
    const auto summary = one.summary();
    EXPECT_EQ(summary["k"]["6F1C2B7A-94D3-4E58-B0A1-3C5D7E9F2468"]["uploads"], 10);
    EXPECT_EQ(summary["k"]["6F1C2B7A-94D3-4E58-B0A1-3C5D7E9F2468"]["locations"], 20);
    EXPECT_THAT(httpGet(two.baseUrl()).body,
                HasSubstr("10 upload(s) from 1 key(s) and 1 device(s), 20 fix(es)"));
}

/// Runs `sql` through psql on `uri`; its first output line ("" when it failed).
std::string psql(const std::string& uri, const std::string& sql) {
    const std::string command = "psql -qAt -v ON_ERROR_STOP=1 '" + uri + "' -c \"" + sql + "\" 2>/dev/null";
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, p)) {
            out = line;
        }
        ::pclose(p);
    }
    return out.substr(0, out.find('\n'));
}

constexpr const char* STORED_BODY =
    "'{\"mac\":\"m\",\"google_aid\":\"held\",\"locations\":[],\"devices_infos\":{}}'";

TEST(CollectorTest, PagesPastTwoToThe31AndNeverSkipAnUploadCommittedLate) {
    if (PostgresServer::programs().empty() || std::system("command -v sqlite3 >/dev/null") != 0) {
        GTEST_SKIP() << "PostgreSQL or the sqlite3 tool is not installed (scripts/install-deps.sh --test)";
    }
    TempDir dir;
    PostgresServer postgres;
    const auto sqlite = dir.file("big.sqlite");
    for (const std::string& db : {sqlite, postgres.uri()}) {
        const bool pg = db == postgres.uri();
        { Collector schema(Collector::Options{std::nullopt, nullptr, {"--db", db}}); }
        // The next ids are past 2^31.
        if (pg) {
            ASSERT_EQ(psql(db, "ALTER TABLE uploads ALTER COLUMN id RESTART WITH 3000000000; SELECT 1"), "1");
        } else {
            ASSERT_EQ(std::system(("sqlite3 " + db +
                                   " \"INSERT INTO sqlite_sequence VALUES ('uploads', 3000000000)\"")
                                      .c_str()),
                      0);
        }
        // Room for the listing to wait on a loaded machine.
        Collector collector(
            Collector::Options{std::nullopt, nullptr, {"--db", db, "--db-timeout-ms", "30000"}});
        const auto url = collector.baseUrl() + "api/v1/k/send_locations";
        ASSERT_EQ(httpPost(url, validBody().dump()).status, 200);
        FILE* held = nullptr;
        if (pg) {
            // An upload that takes its id now and commits after a later one.
            held = ::popen(("psql -q '" + db + "' >/dev/null 2>&1").c_str(), "w");
            ASSERT_NE(held, nullptr);
            std::fprintf(
                held,
                "BEGIN; INSERT INTO uploads (received_at, api_key, device, status, content_type, user_agent,"
                " location_count, has_device_info, body) VALUES ('t', 'k', 'held', 200, '', '', 0, 0, %s);\n",
                STORED_BODY);
            std::fflush(held);
            ASSERT_TRUE(waitUntil(
                [&] { return psql(db, "SELECT max(last_value) FROM uploads_id_seq") == "3000000001"; },
                std::chrono::seconds(20)));
        }
        ASSERT_EQ(httpPost(url, validBody().dump()).status, 200);
        ASSERT_EQ(httpPost(url, validBody().dump()).status, 200);
        // A client follows the links one upload at a time while the held one is open.
        std::vector<long long> seen;
        std::thread reader([&] {
            std::string target = "uploads?limit=1";
            for (int pages = 0; !target.empty() && pages < 20; ++pages) {
                const auto page =
                    httpGet(collector.baseUrl() + (target[0] == '/' ? target.substr(1) : target));
                for (const auto& row : nlohmann::json::parse(page.body.empty() ? "[]" : page.body)) {
                    seen.push_back(row["id"].get<long long>());
                }
                target = page.nextPage;
            }
        });
        if (held) {
            EXPECT_TRUE(waitUntil(
                [&] {
                    return psql(db,
                                "SELECT count(*) FROM pg_stat_activity WHERE query LIKE '%virtualtransaction "
                                "= ANY%'"
                                " AND pid <> pg_backend_pid()") == "1";
                },
                std::chrono::seconds(20)))
                << "the listing waits for the upload still being written";
            std::fputs("COMMIT;\n", held);
            ::pclose(held);
        }
        reader.join();
        const std::vector<long long> all =
            pg ? std::vector<long long>{3000000000, 3000000001, 3000000002, 3000000003}
               : std::vector<long long>{3000000001, 3000000002, 3000000003};
        EXPECT_EQ(seen, all) << (pg ? "PostgreSQL" : "SQLite");
    }
}

TEST(CollectorTest, AnswersWithinItsBoundWhateverStateTheDatabaseIsIn) {
    // A server that accepts and never answers: the collector refuses to start in time, and
    // a SIGTERM while it waits ends it.
    SilentServer silent;
    const std::string hung = "postgresql://x@127.0.0.1:" + std::to_string(silent.port()) + "/x";
    const auto began = std::chrono::steady_clock::now();
    const auto refused = runCollectorCommand({"--db", hung, "--db-timeout-ms", "500"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_THAT(refused.errors, HasSubstr("did not answer in time"));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(15));

    // The SQLite file removed under a running collector: uploads are refused, not lost.
    {
        TempDir dir;
        Collector collector(Collector::Options{std::nullopt, nullptr, {"--db", dir.file("gone.sqlite")}});
        const auto url = collector.baseUrl() + "api/v1/k/send_locations";
        ASSERT_EQ(httpPost(url, validBody().dump()).status, 200);
        ASSERT_EQ(::unlink(dir.file("gone.sqlite").c_str()), 0);
        const auto after = httpPost(url, validBody().dump());
        EXPECT_EQ(after.status, 503);
        EXPECT_THAT(after.body, HasSubstr("removed or replaced"));
    }

    if (PostgresServer::programs().empty()) {
        GTEST_SKIP() << "PostgreSQL is not installed (scripts/install-deps.sh --test installs it)";
    }
    // PostgreSQL stopped: 503 within the bound; served again once it goes on.
    PostgresServer postgres;
    Collector collector(
        Collector::Options{std::nullopt, nullptr, {"--db", postgres.uri(), "--db-timeout-ms", "1000"}});
    const auto url = collector.baseUrl() + "api/v1/k/send_locations";
    ASSERT_EQ(httpPost(url, validBody().dump()).status, 200);
    postgres.signalAll(SIGSTOP);
    const auto stopped = std::chrono::steady_clock::now();
    const auto waited = httpPost(url, validBody().dump(), "application/json", {"Idempotency-Key: during"});
    const auto took = std::chrono::steady_clock::now() - stopped;
    postgres.signalAll(SIGCONT);
    EXPECT_EQ(waited.status, 503);
    EXPECT_LT(took, std::chrono::seconds(10)) << "bound 1 s, with room for a loaded machine";
    EXPECT_TRUE(waitUntil(
        [&] {
            return httpPost(url, validBody().dump(), "application/json", {"Idempotency-Key: during"})
                       .status == 200;
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(collector.keptPerKey()["during"], 1);
}

TEST(CollectorTest, AFailedGroupCommitKeepsNothingAndSaysSoToEveryUploadInIt) {
    // A collector whose files may not grow past 512 KiB: its commits fail once its
    // write-ahead log reaches that, as on a full disk.
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 512 * 1024;
    ::setrlimit(RLIMIT_FSIZE, &small);
    Collector collector;
    ::setrlimit(RLIMIT_FSIZE, &before);

    std::mutex mutex;
    std::map<std::string, long> answers;
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c) {
        clients.emplace_back([&, c] {
            for (int n = 0; n < 400; ++n) {
                const std::string key = std::to_string(c) + "-" + std::to_string(n);
                const auto status =
                    httpPost(collector.baseUrl() + "api/v1/k/send_locations", validBody().dump(),
                             "application/json", {"Idempotency-Key: " + key})
                        .status;
                std::lock_guard<std::mutex> lock(mutex);
                answers[key] = status;
                if (status != 200) {
                    return;
                }
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    // The disk is freed; what was refused is sent again with its key.
    ASSERT_EQ(::prlimit(collector.pid(), RLIMIT_FSIZE, &before, nullptr), 0);
    long refused = 0;
    std::map<std::string, int> once;
    for (const auto& [key, status] : answers) {
        once[key] = 1;
        if (status == 200) {
            continue;
        }
        ++refused;
        EXPECT_EQ(status, 503) << key;
        EXPECT_EQ(httpPost(collector.baseUrl() + "api/v1/k/send_locations", validBody().dump(),
                           "application/json", {"Idempotency-Key: " + key})
                      .status,
                  200)
            << key;
    }
    EXPECT_GT(refused, 0) << "the files never reached their limit";
    EXPECT_EQ(collector.keptPerKey(), once) << "a refused upload was kept, or one kept twice";
}

TEST(CollectorTest, TakesOverADatabaseFromBeforeItKeptCounters) {
    if (std::system("command -v sqlite3 >/dev/null") != 0) {
        GTEST_SKIP() << "the sqlite3 tool is not installed (scripts/install-deps.sh --test installs it)";
    }
    TempDir dir;
    const auto db = dir.file("old.sqlite");
    auto withFixes = [](int count) {
        auto body = validBody();
        body["locations"] = nlohmann::json::array();
        for (int i = 0; i < count; ++i) {
            body["locations"].push_back({{"timestamp", "t"}, {"lat", std::to_string(i)}, {"lng", "1"}});
        }
        return body.dump();
    };
    std::ofstream(dir.file("old.sql"))
        << "CREATE TABLE uploads (id INTEGER PRIMARY KEY AUTOINCREMENT, received_at TEXT NOT NULL, api_key "
           "TEXT NOT"
           " NULL, device TEXT NOT NULL, status INTEGER NOT NULL, content_type TEXT NOT NULL, user_agent "
           "TEXT NOT"
           " NULL, location_count INTEGER NOT NULL, has_device_info INTEGER NOT NULL, body TEXT NOT NULL,"
           " idempotency_key TEXT NOT NULL DEFAULT '', replays INTEGER NOT NULL DEFAULT 0);"
           "CREATE INDEX uploads_by_key ON uploads (api_key, device);"
           "CREATE TABLE accepted_keys (api_key TEXT NOT NULL, idempotency_key TEXT NOT NULL, upload_id "
           "INTEGER"
           " NOT NULL, PRIMARY KEY (api_key, idempotency_key));"
           "INSERT INTO uploads VALUES (1, '2026-01-01T00:00:00.000Z', 'k', 'a', 200, '', '', 3, 1, '"
        << withFixes(3) << "', 'x', 0);"
        << "INSERT INTO uploads VALUES (2, '2026-01-02T00:00:00.000Z', 'k', 'b', 200, '', '', 0, 1, '"
        << withFixes(0) << "', '', 0);"
        << "INSERT INTO uploads VALUES (3, '2026-01-03T00:00:00.000Z', 'k', 'a', 200, '', '', 2, 1, '"
        << withFixes(2) << "', '', 0);"
        << "INSERT INTO accepted_keys VALUES ('k', 'x', 1);";
    ASSERT_EQ(std::system(("sqlite3 " + db + " < " + dir.file("old.sql")).c_str()), 0);

    Collector collector(Collector::Options{std::nullopt, nullptr, {"--db", db, "--listed-fixes", "4"}});
    auto summary = collector.summary();
    EXPECT_EQ(summary["k"]["a"]["uploads"], 2);
    EXPECT_EQ(summary["k"]["a"]["locations"], 5);
    EXPECT_EQ(summary["k"]["b"]["uploads"], 1);
    EXPECT_THAT(httpGet(collector.baseUrl()).body,
                HasSubstr("3 upload(s) from 1 key(s) and 2 device(s), 5 fix(es)"));
    // Device "a": its two newest fixes, then two of the three before them.
    const auto listed = collector.uploads();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0]["truncated"], true);
    EXPECT_EQ(listed[0]["body"]["locations"].size(), 2u);

    // Uploads after the takeover count on from there, and old keys still hold.
    const auto url = collector.baseUrl() + "api/v1/k/send_locations";
    EXPECT_THAT(httpPost(url, withFixes(1), "application/json", {"Idempotency-Key: x"}).body,
                HasSubstr("replayed"));
    auto next = nlohmann::json::parse(withFixes(1));
    next["google_aid"] = "a";
    ASSERT_EQ(httpPost(url, next.dump()).status, 200);
    summary = collector.summary();
    EXPECT_EQ(summary["k"]["a"]["uploads"], 3);
    EXPECT_EQ(summary["k"]["a"]["locations"], 6);
    const auto after = collector.uploads();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[0]["body"]["locations"].size(), 1u) << "three newer fixes leave room for one";
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
        {{"--port"}, 2, "lumvex-collector: --port: 1 required INT:INT in [0 - 65535] missing\n"},
        {{"--port=70000"}, 2, "lumvex-collector: --port: Value 70000 not in range 0 to 65535\n"},
        {{"--bogus"}, 2, "lumvex-collector: The following argument was not expected: --bogus\n"},
        {{"--tls-cert", "c.pem"}, 2, "lumvex-collector: --tls-cert requires --tls-key\n"},
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
