#include "platform/base/RunLoop.h"
#include "platform/location/GeoClue.h"
#include "platform/location/LocationManager.h"

#include "Gpsd.h"
#include "TaskEnvironment.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

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

bool threadNamed(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string text;
        if (std::getline(comm, text) && text == name) {
            return true;
        }
    }
    return false;
}

class LocationManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        env_.emplace();
        lumvex::platform::setLocationServicesEnabled(true);
        manager_ = std::make_shared<LocationManager>();
        manager_->setDelegate(recorder_);
    }
    void TearDown() override {
        manager_.reset();
        lumvex::platform::setLocationServicesEnabled(true);
        env_.reset();
    }

    /// Requests a fix and waits for the outcome.
    bool request() {
        const auto before = recorder_->outcomes();
        manager_->requestLocation();
        return env_->runUntil([&] { return recorder_->outcomes() > before; });
    }

    // Deliveries arrive on this thread's run loop, so waiting means running it.
    std::optional<lumvex::test::TaskEnvironment> env_;
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
    std::shared_ptr<LocationManager> manager_;
    const std::vector<std::string> walk_ =
        lumvex::test::readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/walk.nmea");
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
    env_->clock().advance(9s);
    EXPECT_TRUE(manager_->location().has_value());
    env_->clock().advance(1s);
    EXPECT_FALSE(manager_->location().has_value());
}

TEST_F(LocationManagerTest, NoFixWithinTheTimeoutIsAnError) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    ASSERT_TRUE(gpsd.feedNoFix(receiver)) << gpsd.log();

    manager_->requestLocation();
    // The request waits on the installed clock: nothing comes until its timeout has passed.
    EXPECT_FALSE(env_->runUntil([&] { return recorder_->outcomes() > 0; }, 300ms));
    EXPECT_TRUE(threadNamed("lumvex-gps"));
    env_->clock().advance(LocationManager::DEFAULT_REQUEST_TIMEOUT);
    ASSERT_TRUE(env_->runUntil([&] { return recorder_->outcomes() > 0; }));
    ASSERT_EQ(recorder_->errors().size(), 1u);
    EXPECT_EQ(recorder_->errors()[0].code, LocationError::Code::LOCATION_UNKNOWN);
    EXPECT_NE(recorder_->errors()[0].localizedDescription().find("No location fix"), std::string::npos);
    EXPECT_FALSE(manager_->location().has_value());

    // A fix that arrives while a request waits answers it at once.
    const auto [lat, lon] = lumvex::test::positionOf(walk_[0]);
    manager_->requestLocation();
    ASSERT_TRUE(gpsd.feedFix(receiver, walk_[0], lat, lon));
    ASSERT_TRUE(env_->runUntil([&] { return recorder_->outcomes() > 1; }));
    ASSERT_EQ(recorder_->updates().size(), 1u);
    EXPECT_NEAR(recorder_->updates()[0][0].latitude, lat, 1e-7);
}

TEST_F(LocationManagerTest, GpsdDyingDuringARequestIsAnErrorAndTheNextRequestReconnects) {
    FakeReceiver receiver;
    Gpsd gpsd({receiver.devicePath()});
    ASSERT_TRUE(gpsd.start()) << gpsd.log();
    lumvex::platform::useGpsd(gpsd.host(), gpsd.port());
    ASSERT_TRUE(gpsd.feedNoFix(receiver));

    manager_->requestLocation();                                          // waits: the receiver has no fix
    ASSERT_TRUE(gpsd.waitForLog("\"json\":true};?POLL;")) << gpsd.log();  // streaming now
    EXPECT_EQ(recorder_->outcomes(), 0u);
    gpsd.kill();
    ASSERT_TRUE(env_->runUntil([&] { return recorder_->outcomes() > 0; }));
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
    EXPECT_FALSE(env_->runUntil([&] { return recorder_->outcomes() > 0; }, 200ms));
}

// A gpsd of the test's making on 127.0.0.1: greets the one client it accepts like gpsd, then
// runs `script` on the connection.
class ScriptedGpsd {
public:
    explicit ScriptedGpsd(std::function<void(int client)> script) {
        server_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (::bind(server_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
            ::getsockname(server_, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
            ::listen(server_, 1) == 0) {
            port_ = std::to_string(ntohs(addr.sin_port));
        }
        thread_ = std::thread([this, script = std::move(script)] {
            const int client = ::accept4(server_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                return;
            }
            const std::string hello =
                "{\"class\":\"VERSION\",\"release\":\"3.22\",\"proto_major\":3,\"proto_minor\":14}\n";
            if (::send(client, hello.data(), hello.size(), MSG_NOSIGNAL) > 0) {
                script(client);
            }
            ::close(client);
        });
    }
    /// Returns once the client has hung up.
    ~ScriptedGpsd() {
        thread_.join();
        ::close(server_);
    }
    const std::string& port() const { return port_; }

private:
    int server_ = -1;
    std::string port_;
    std::thread thread_;
};

TEST_F(LocationManagerTest, WhatAStrangeGpsdSendsEndsTheRequestSafely) {
    std::atomic<std::size_t> sent{0};
    const auto sendAll = [](int client, const std::string& text) {
        return ::send(client, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    };
    const auto untilHungUp = [](int client) {
        char byte;
        while (::recv(client, &byte, 1, 0) > 0) {
        }
    };
    struct Case {
        const char* what;
        std::function<void(int client)> script;
        // A fix at this latitude, or else an error with this code and text.
        std::optional<double> latitude;
        LocationError::Code code;
        const char* text;
    };
    const Case cases[] = {
        {"sky reports without end and never a fix",
         [&](int client) {
             std::string sky = "{\"class\":\"SKY\",\"device\":\"/dev/ttyS0\",\"satellites\":[";
             for (int i = 0; i < 20; ++i) {
                 sky += std::string(i ? "," : "") + "{\"PRN\":" + std::to_string(i) +
                        ",\"el\":45.0,\"az\":90.0,\"ss\":30.0}";
             }
             sky += "]}\n";
             while (sendAll(client, sky)) {
                 sent += sky.size();
             }
         },
         std::nullopt, LocationError::Code::CONNECTION_LOST, "without a fix"},
        // libgps never returns from a line that goes on after its object.
        {"a report followed by a second object on its line",
         [&](int client) {
             sendAll(client,
                     "{\"class\":\"POLL\",\"active\":1,\"tpv\":[{\"class\":\"TPV\",\"mode\":1}],\"sky\":[]}\n"
                     "{\"class\":\"TPV\",\"mode\":3,\"lat\":51.5,\"lon\":7.5},"
                     "{\"class\":\"TPV\",\"mode\":3,\"lat\":52.5,\"lon\":8.5}\n");
             untilHungUp(client);
         },
         51.5,
         {},
         ""},
        // gpsd writes no white space, but its protocol's proxies and simulators do.
        {"a poll answer with white space between its tokens",
         [&](int client) {
             sendAll(client,
                     "{ \"class\" : \"POLL\", \"active\": 1, \"tpv\": [ {\"class\": \"TPV\", \"mode\": 3,"
                     " \"lat\": 48.5, \"lon\": 2.25} ], \"sky\": [] }\n");
             untilHungUp(client);
         },
         48.5,
         {},
         ""},
        {"a poll answer with white space and no position, then hanging up once asked again",
         [&](int client) {
             sendAll(client, "{\"class\": \"POLL\", \"active\": 0, \"tpv\": [], \"sky\": []}\n");
             std::string asked;
             char byte;
             while (asked.find("\"json\":true};?POLL;\n") == std::string::npos &&
                    ::recv(client, &byte, 1, 0) > 0) {
                 asked += byte;
             }
         },
         std::nullopt, LocationError::Code::LOCATION_UNKNOWN, "no position in gpsd's answer"},
        {"a poll answer cut off in the middle of a report, then hanging up",
         [&](int client) {
             sendAll(
                 client,
                 "{\"class\":\"POLL\",\"active\":1,\"tpv\":[{\"class\":\"TPV\",\"mode\":3,\"lat\":51.5\n");
         },
         std::nullopt, LocationError::Code::CONNECTION_LOST, "Lost the connection"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto recorder = std::make_shared<Recorder>();
        auto manager = std::make_shared<LocationManager>();
        manager->setDelegate(recorder);
        {
            ScriptedGpsd gpsd(c.script);
            ASSERT_FALSE(gpsd.port().empty());
            lumvex::platform::useGpsd("127.0.0.1", gpsd.port());
            // The installed clock stands still, so only what gpsd sends can end the request.
            manager->requestLocation();
            const bool ended = env_->runUntil([&] { return recorder->outcomes() > 0; }, 20s);
            manager.reset();  // ends a request that did not end by itself, so the script ends
            ASSERT_TRUE(ended) << "the request read " << sent.load() << " bytes and went on";
        }
        if (c.latitude) {
            ASSERT_EQ(recorder->updates().size(), 1u) << recorder->describeErrors();
            EXPECT_EQ(recorder->updates()[0].size(), 1u);
            EXPECT_DOUBLE_EQ(recorder->updates()[0][0].latitude, *c.latitude);
        } else {
            ASSERT_EQ(recorder->errors().size(), 1u);
            EXPECT_EQ(recorder->errors()[0].code, c.code);
            EXPECT_NE(recorder->errors()[0].description.find(c.text), std::string::npos)
                << recorder->errors()[0].description;
        }
    }
    // What the flooded request read, plus what the socket buffers held when it hung up.
    EXPECT_LT(sent.load(), 16u * 1024 * 1024);
}

// A system bus that accepts connections and never answers, whether the source is to be
// chosen or GeoClue was asked for: the manager still ends at once.
TEST_F(LocationManagerTest, ASilentBusDoesNotHoldUpTheManagersEnd) {
    lumvex::test::TempDir dir;
    const std::string path = dir.file("bus");
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(server, 8), 0);
    lumvex::platform::setGeoClueBusAddress("unix:path=" + path);
    for (const bool automatic : {true, false}) {
        SCOPED_TRACE(automatic ? "chosen automatically" : "GeoClue asked for");
        if (automatic) {
            lumvex::platform::chooseLocationSourceAutomatically();
        } else {
            lumvex::platform::useGeoClue("lumvex-test-client");
        }
        auto manager = std::make_shared<LocationManager>();
        manager->setDelegate(recorder_);
        manager->requestLocation();
        pollfd connecting{server, POLLIN, 0};
        ASSERT_EQ(::poll(&connecting, 1, 10000), 1);
        const int connection = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(connection, 0);
        EXPECT_TRUE(lumvex::test::finishesWithoutBlocking([&] { manager.reset(); }, {}, 1s));
        ::close(connection);
    }
    ::close(server);
    lumvex::platform::setGeoClueBusAddress("");
    lumvex::platform::useGpsd("localhost", "2947");
}

}  // namespace
