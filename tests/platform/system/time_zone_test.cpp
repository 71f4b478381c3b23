#include "platform/base/Clock.h"
#include "platform/system/TimeZone.h"

#include "FakeSystem.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace lumvex::platform {
namespace {

TEST(TimeZone, FromTzThenTheSystemFiles) {
    test::FakeSystem system;
    EXPECT_EQ(TimeZone::currentIdentifier(), "UTC") << "no zone configured: the C library uses UTC";

    system.put("/etc/localtime", "TZif2...");
    EXPECT_EQ(TimeZone::currentIdentifier(), "") << "a copied zone file has no name to give";

    system.link("/etc/localtime", "/usr/share/zoneinfo/America/Argentina/Buenos_Aires");
    EXPECT_EQ(TimeZone::currentIdentifier(), "America/Argentina/Buenos_Aires");
    system.link("/etc/localtime", "../usr/share/zoneinfo/posix/Europe/Lisbon");
    EXPECT_EQ(TimeZone::currentIdentifier(), "Europe/Lisbon");
    system.link("/etc/localtime", "/etc/not-a-zone");
    EXPECT_EQ(TimeZone::currentIdentifier(), "");
    system.link("/etc/localtime", "/usr/share/zoneinfo/Europe/Lisbon");

    for (const char* malformed :
         {"", "\n", "../../etc/passwd\n", "Europe/Paris extra\n", "/Europe/Paris\n"}) {
        system.put("/etc/timezone", malformed);
        EXPECT_EQ(TimeZone::currentIdentifier(), "Europe/Lisbon") << malformed;
    }
    system.put("/etc/timezone", "Europe/Berlin\n");
    EXPECT_EQ(TimeZone::currentIdentifier(), "Europe/Berlin");

    for (const char* zone : {"Asia/Tokyo", "America/New_York", "Etc/GMT+5", "UTC"}) {
        system.put(std::string("/usr/share/zoneinfo/") + zone, "TZif2...");
    }
    // Time stamps are rendered by the C library in the process's TZ, so that is set too.
    // Where TZ names no zone that has data, the offset rendered in is what is sent.
    auto clock = std::make_shared<VirtualClock>();
    setClock(clock);
    const auto january = Clock::WallTime{} + std::chrono::seconds(1484438400);  // 2017-01-15
    const auto july = january + std::chrono::hours(24 * 181);
    const std::vector<std::tuple<std::string, Clock::WallTime, std::string>> tz = {
        {"Asia/Tokyo", january, "Asia/Tokyo"},
        {":America/New_York", january, "America/New_York"},
        {":/usr/share/zoneinfo/Etc/GMT+5", january, "Etc/GMT+5"},
        {"UTC", january, "UTC"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", january, "GMT+0100"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", july, "GMT+0200"},
        {"<+0530>-5:30", january, "GMT+0530"},
        {"<-03>3", july, "GMT-0300"},
        {"Europe/Nowhere", january, "GMT"},
        {"/home/user/zone", january, "GMT"},
        {"Asia/../../etc/passwd", january, "GMT"},
        {"", january, "Europe/Berlin"},
    };
    for (const auto& [value, when, expected] : tz) {
        system.setEnv("TZ", value);
        ::setenv("TZ", value.c_str(), 1);
        clock->setWallTime(when);
        EXPECT_EQ(TimeZone::currentIdentifier(), expected) << "TZ=" << value;
    }
    ::unsetenv("TZ");
    ::tzset();
    setClock(nullptr);
}

}  // namespace
}  // namespace lumvex::platform
