// The collector's page at "/": what it shows per key and device, that it is safe with
// whatever uploaders send, and, in a real headless Chromium, that the drawn track has one
// point per received fix.

#include "Collector.h"
#include "TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <map>

extern char** environ;

#ifndef LUMVEX_SCREENSHOT_DIR
#define LUMVEX_SCREENSHOT_DIR "."
#endif

namespace lumvex::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

nlohmann::json description(const std::string& appVersion, const std::string& deviceName) {
    return {{"os_version", "12"},        {"device_brand", "apple"},     {"device_id", "Computer"},
            {"system_name", "iOS"},      {"app_version", appVersion},   {"device_locale", "de"},
            {"device_country", "DE"},    {"timezone", "Europe/Berlin"}, {"User-Agent", "ios/1.0.0"},
            {"device_name", deviceName}, {"is_tablet", false}};
}

nlohmann::json upload(const std::string& device, std::vector<std::pair<double, double>> fixes,
                      nlohmann::json devicesInfos = nlohmann::json::object()) {
    auto locations = nlohmann::json::array();
    int second = 0;
    for (const auto& [lat, lng] : fixes) {
        char time[32];
        std::snprintf(time, sizeof time, "2026-06-15T10:00:%02dZ", second);
        second += 10;
        locations.push_back(
            {{"timestamp", time}, {"lat", std::to_string(lat)}, {"lng", std::to_string(lng)}});
    }
    return {{"mac", "020000000000"},
            {"google_aid", device},
            {"locations", locations},
            {"devices_infos", std::move(devicesInfos)}};
}

void post(const Collector& collector, const std::string& key, const nlohmann::json& body) {
    ASSERT_EQ(httpPost(collector.baseUrl() + "api/v1/" + key + "/send_locations", body.dump()).status, 200);
}

/// The part of `page` that shows `device` (its <article>), or "" when there is none.
std::string articleOf(const std::string& page, const std::string& device) {
    const auto start = page.find("<article class=\"device\" data-device=\"" + device + "\"");
    if (start == std::string::npos) {
        return "";
    }
    return page.substr(start, page.find("</article>", start) - start);
}

std::size_t count(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

TEST(CollectorPageTest, ShowsEveryKeyAndDeviceWithItsLastDescriptionAndTrack) {
    Collector collector;
    EXPECT_THAT(httpGet(collector.baseUrl()).body, HasSubstr("Nothing received yet"));

    post(collector, "key-a",
         upload("dev-1", {{52.51, 13.35}, {52.52, 13.36}}, description("1.0", "Old name")));
    post(collector, "key-a", upload("dev-1", {{52.53, 13.37}}));
    post(collector, "key-a", upload("dev-1", {}, description("1.1", "New name")));
    post(collector, "key-b", upload("dev-2", {{48.85, 2.29}}));
    const auto page = httpGet(collector.baseUrl());
    ASSERT_EQ(page.status, 200);

    EXPECT_THAT(page.body, HasSubstr("data-key=\"key-a\""));
    EXPECT_THAT(page.body, HasSubstr("data-key=\"key-b\""));
    const auto one = articleOf(page.body, "dev-1");
    EXPECT_THAT(one, HasSubstr("data-fixes=\"3\""));
    EXPECT_EQ(count(one, "<circle class=\"fix"), 3u);
    // The description shown is the last one received, although the last upload of the
    // device with fixes carried none.
    EXPECT_THAT(one, HasSubstr("New name"));
    EXPECT_THAT(one, Not(HasSubstr("Old name")));
    const auto two = articleOf(page.body, "dev-2");
    EXPECT_EQ(count(two, "<circle class=\"fix"), 1u);
    EXPECT_THAT(two, HasSubstr("No description received"));
}

TEST(CollectorPageTest, EscapesWhatUploadersSendAndDrawsOnlyUsablePositions) {
    Collector collector;
    auto body = upload("<b>dev</b>", {{52.5, 13.4}}, description("1.0", "<script>alert(1)</script>"));
    body["locations"].push_back({{"timestamp", "\"><svg onload=x>"}, {"lat", "north"}, {"lng", "13.4"}});
    body["locations"].push_back({{"timestamp", "t"}, {"lat", "91"}, {"lng", "13.4"}});
    body["locations"].push_back({{"timestamp", "t"}, {"lat", "nan"}, {"lng", "13.4"}});
    post(collector, "%3Cimg%20src%3Dx%3E", body);
    const auto page = httpGet(collector.baseUrl()).body;

    EXPECT_THAT(page, Not(HasSubstr("<script>")));
    EXPECT_THAT(page, Not(HasSubstr("<img")));
    EXPECT_THAT(page, Not(HasSubstr("<b>dev")));
    EXPECT_THAT(page, Not(HasSubstr("<svg onload")));
    EXPECT_THAT(page, HasSubstr("&lt;script&gt;alert(1)&lt;/script&gt;"));
    const auto article = articleOf(page, "&lt;b&gt;dev&lt;/b&gt;");
    EXPECT_THAT(article, HasSubstr("data-fixes=\"4\""));
    EXPECT_EQ(count(article, "<circle class=\"fix"), 1u);
    EXPECT_THAT(article, HasSubstr("3 of them without a usable position"));
    // Nothing on the page may reach the network.
    EXPECT_THAT(page, Not(HasSubstr(" src=\"")));
    EXPECT_THAT(page, Not(HasSubstr(" href=\"")));
    EXPECT_THAT(page, Not(HasSubstr("<script")));
}

// ---- in a real browser --------------------------------------------------------------------

std::string chromiumBinary() {
    for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

/// Runs headless Chromium with `extra` arguments on `url` in a process group of its own,
/// and returns what it printed; the whole group is killed once it ends or after `timeout`.
std::optional<std::string> runChromium(const std::vector<std::string>& extra, const std::string& url,
                                       std::chrono::seconds timeout = std::chrono::seconds(90)) {
    TempDir profile;
    std::vector<std::string> args = {chromiumBinary(),
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--hide-scrollbars",
                                     "--user-data-dir=" + profile.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(url);
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return std::nullopt;
    }

    // Its output ends when every process of the browser has closed it.
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool complete = false;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[65536];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            complete = n == 0;
            break;
        }
        output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    ::kill(-pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return output;
}

TEST(CollectorPageTest, InChromiumTheTrackHasOnePointPerReceivedFix) {
    if (chromiumBinary().empty()) {
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
    }
    Collector collector;
    // A ride in two uploads, the second without a description, and another device.
    post(collector, "demo-key",
         upload("ride", {{52.5134, 13.3505}, {52.5139, 13.3485}, {52.5138, 13.3460}},
                description("1.2.0", "ride phone")));
    post(collector, "demo-key", upload("ride", {{52.5131, 13.3440}, {52.5122, 13.3425}}));
    post(collector, "other-key", upload("still", {{48.8584, 2.2945}}, description("3.0", "still phone")));

    const auto dom = runChromium({"--dump-dom"}, collector.baseUrl());
    ASSERT_TRUE(dom) << "chromium did not render the page";
    std::map<std::string, std::size_t> points;
    for (const std::string device : {"ride", "still"}) {
        const auto article = articleOf(*dom, device);
        ASSERT_FALSE(article.empty()) << *dom;
        points[device] = count(article, "<circle class=\"fix");
        EXPECT_THAT(article, HasSubstr("<svg class=\"track\""));
    }
    EXPECT_EQ(points["ride"], 5u);
    EXPECT_EQ(points["still"], 1u);
    EXPECT_THAT(articleOf(*dom, "ride"), HasSubstr("ride phone"));

    const std::string screenshot = std::string(LUMVEX_SCREENSHOT_DIR) + "/collector-page.png";
    ::mkdir(LUMVEX_SCREENSHOT_DIR, 0755);
    std::remove(screenshot.c_str());
    ASSERT_TRUE(runChromium({"--screenshot=" + screenshot, "--window-size=1280,1400"}, collector.baseUrl()));
    std::ifstream png(screenshot, std::ios::binary);
    char magic[8] = {};
    png.read(magic, sizeof magic);
    EXPECT_EQ(std::string(magic, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << screenshot;
}

}  // namespace
}  // namespace lumvex::test
