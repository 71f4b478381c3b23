#include "platform/Device.h"
#include "platform/Clock.h"
#include "platform/Locale.h"
#include "platform/TimeZone.h"
#include "platform/VendorId.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace lumvex::platform {
namespace {

// Every test reads a system made of files in a temporary root and a private environment.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override { apply(); }
    void TearDown() override { resetDeviceSources(); }

    void put(const std::string& path, const std::string& content) {
        const fs::path full = root_.path() + path;
        fs::create_directories(full.parent_path());
        test::writeFile(full.string(), content);
    }
    void remove(const std::string& path) { fs::remove(root_.path() + path); }
    void link(const std::string& path, const std::string& target) {
        const fs::path full = root_.path() + path;
        fs::create_directories(full.parent_path());
        fs::remove(full);
        fs::create_symlink(target, full);
    }
    void setEnv(const std::string& name, const std::string& value) {
        env_[name] = value;
        apply();
    }
    void clearEnv() {
        env_.clear();
        apply();
    }

private:
    void apply() { setDeviceSources(DeviceSources{root_.path(), env_}); }

    test::TempDir root_;
    std::map<std::string, std::string> env_;
};

TEST_F(DeviceTest, SystemVersionComesFromOsReleaseElseTheKernelRelease) {
    EXPECT_EQ(Device::systemVersion(), "") << "nothing to read at all";

    put("/proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    EXPECT_EQ(Device::systemVersion(), "6.1.0-18-amd64");

    put("/usr/lib/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"11\"\n");
    EXPECT_EQ(Device::systemVersion(), "11") << "the vendor copy when /etc has none";

    put("/etc/os-release",
        "# comment\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
        "NAME=\"Debian GNU/Linux\"\n  VERSION_ID=\"12\"  \nVERSION=\"12 (bookworm)\"\n");
    EXPECT_EQ(Device::systemVersion(), "12");

    put("/etc/os-release", "VERSION_ID=22.04\n");
    EXPECT_EQ(Device::systemVersion(), "22.04") << "unquoted";
    put("/etc/os-release", "VERSION_ID='39'");
    EXPECT_EQ(Device::systemVersion(), "39") << "single quotes, no final line feed";
    put("/etc/os-release", "VERSION_ID=\"1.\\\"x\\\"\"\n");
    EXPECT_EQ(Device::systemVersion(), "1.\"x\"") << "escaped quotes";

    // An os-release without a usable VERSION_ID (rolling releases, broken files) leaves the
    // kernel release; the vendor copy is not consulted once /etc has one.
    for (const char* text : {"NAME=Arch\nID=arch\n", "VERSION_ID=\"12\n", "VERSION_ID=\n", "VERSION_ID=1 2\n",
                             "MY_VERSION_ID=5\nVERSION_IDX=6\n", ""}) {
        put("/etc/os-release", text);
        EXPECT_EQ(Device::systemVersion(), "6.1.0-18-amd64") << text;
    }
}

TEST_F(DeviceTest, ModelAndIdiomNameAKindOfMachine) {
    struct Case {
        const char* chassis;
        const char* model;
        UserInterfaceIdiom idiom;
    };
    const std::vector<Case> cases = {
        {"3\n", "Desktop", UserInterfaceIdiom::Desktop},
        {"35\n", "Desktop", UserInterfaceIdiom::Desktop},
        {"10\n", "Laptop", UserInterfaceIdiom::Desktop},
        {"23\n", "Server", UserInterfaceIdiom::Desktop},
        {"11\n", "Handheld", UserInterfaceIdiom::Phone},
        {"30\n", "Tablet", UserInterfaceIdiom::Pad},
        {"31\n", "Convertible", UserInterfaceIdiom::Pad},
        {"32\n", "Detachable", UserInterfaceIdiom::Pad},
        {"1\n", "Computer", UserInterfaceIdiom::Unspecified},
        {"2\n", "Computer", UserInterfaceIdiom::Unspecified},
        {"", "Computer", UserInterfaceIdiom::Unspecified},
        {"tablet\n", "Computer", UserInterfaceIdiom::Unspecified},
        {"30 \n", "Computer", UserInterfaceIdiom::Unspecified},
        {"-30\n", "Computer", UserInterfaceIdiom::Unspecified},
        {"0030\n", "Computer", UserInterfaceIdiom::Unspecified},
    };
    for (const auto& c : cases) {
        put("/sys/class/dmi/id/chassis_type", c.chassis);
        EXPECT_EQ(Device::model(), c.model) << c.chassis;
        EXPECT_EQ(Device::userInterfaceIdiom(), c.idiom) << c.chassis;
    }
    remove("/sys/class/dmi/id/chassis_type");
    EXPECT_EQ(Device::model(), "Computer");
    EXPECT_EQ(Device::userInterfaceIdiom(), UserInterfaceIdiom::Unspecified);
}

TEST_F(DeviceTest, NameIsTheHostName) {
    EXPECT_EQ(Device::name(), "");

    put("/etc/hostname", "# set by the installer\n\n  static-name  \nignored\n");
    EXPECT_EQ(Device::name(), "static-name") << "the static name when the kernel has none";

    put("/proc/sys/kernel/hostname", "(none)\n");
    EXPECT_EQ(Device::name(), "static-name") << "the kernel's placeholder is not a name";

    put("/proc/sys/kernel/hostname", "Ada's workstation\n");
    EXPECT_EQ(Device::name(), "Ada's workstation");

    put("/proc/sys/kernel/hostname", "caf\xC3\xA9\xFF\n");
    EXPECT_EQ(Device::name(), "caf\xC3\xA9\xFF") << "bytes are passed on as they are";
}

TEST_F(DeviceTest, LocaleFollowsThePosixVariablesInOrder) {
    EXPECT_EQ(Locale::current().languageCode(), "");
    EXPECT_EQ(Locale::current().regionCode(), "");

    setEnv("LANG", "de_AT.UTF-8");
    EXPECT_EQ(Locale::current().languageCode(), "de");
    EXPECT_EQ(Locale::current().regionCode(), "AT");

    setEnv("LC_MESSAGES", "fr_CA.UTF-8");
    EXPECT_EQ(Locale::current().languageCode(), "fr");
    EXPECT_EQ(Locale::current().regionCode(), "CA");

    setEnv("LC_ALL", "");
    EXPECT_EQ(Locale::current().languageCode(), "fr") << "an empty variable counts as unset";

    setEnv("LC_ALL", "pt_BR");
    EXPECT_EQ(Locale::current().languageCode(), "pt");
    EXPECT_EQ(Locale::current().regionCode(), "BR");

    // The first variable that is set decides even when it names no language: the C
    // library would fall back to the C locale rather than look further.
    setEnv("LC_ALL", "C.UTF-8");
    EXPECT_EQ(Locale::current().languageCode(), "");
    EXPECT_EQ(Locale::current().regionCode(), "");

    clearEnv();
    setEnv("LANG", "ja");
    EXPECT_EQ(Locale::current().languageCode(), "ja");
    EXPECT_EQ(Locale::current().regionCode(), "") << "a locale without a region";
}

TEST(LocaleName, SplitsLanguageAndRegion) {
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"en_US.UTF-8", "en", "US"},
        {"de_DE@euro", "de", "DE"},
        {"sr_RS.UTF-8@latin", "sr", "RS"},
        {"ast_ES", "ast", "ES"},
        {"es_419", "es", "419"},
        {"EN_gb", "en", "GB"},
        {"fr", "fr", ""},
        {"nl.UTF-8", "nl", ""},
        {"en_", "en", ""},
        {"en_USA", "en", ""},
        {"en_1", "en", ""},
        {"C", "", ""},
        {"C.UTF-8", "", ""},
        {"POSIX", "", ""},
        {"english", "", ""},
        {"e1_US", "", ""},
        {"en-US", "", ""},
        {"/usr/lib/locale/en_US", "", ""},
        {"_US", "", ""},
        {"\xC3\xA9n_US", "", ""},
    };
    for (const auto& [name, language, region] : cases) {
        const auto locale = Locale::fromName(name);
        EXPECT_EQ(locale.languageCode(), language) << name;
        EXPECT_EQ(locale.regionCode(), region) << name;
    }
}

TEST_F(DeviceTest, TimeZoneFromTzThenTheSystemFiles) {
    EXPECT_EQ(TimeZone::currentIdentifier(), "UTC") << "no zone configured: the C library uses UTC";

    put("/etc/localtime", "TZif2...");
    EXPECT_EQ(TimeZone::currentIdentifier(), "") << "a copied zone file has no name to give";

    link("/etc/localtime", "/usr/share/zoneinfo/America/Argentina/Buenos_Aires");
    EXPECT_EQ(TimeZone::currentIdentifier(), "America/Argentina/Buenos_Aires");
    link("/etc/localtime", "../usr/share/zoneinfo/posix/Europe/Lisbon");
    EXPECT_EQ(TimeZone::currentIdentifier(), "Europe/Lisbon");
    link("/etc/localtime", "/etc/not-a-zone");
    EXPECT_EQ(TimeZone::currentIdentifier(), "");
    link("/etc/localtime", "/usr/share/zoneinfo/Europe/Lisbon");

    for (const char* malformed :
         {"", "\n", "../../etc/passwd\n", "Europe/Paris extra\n", "/Europe/Paris\n"}) {
        put("/etc/timezone", malformed);
        EXPECT_EQ(TimeZone::currentIdentifier(), "Europe/Lisbon") << malformed;
    }
    put("/etc/timezone", "Europe/Berlin\n");
    EXPECT_EQ(TimeZone::currentIdentifier(), "Europe/Berlin");

    for (const char* zone : {"Asia/Tokyo", "America/New_York", "Etc/GMT+5", "UTC"}) {
        put(std::string("/usr/share/zoneinfo/") + zone, "TZif2...");
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
        setEnv("TZ", value);
        ::setenv("TZ", value.c_str(), 1);
        clock->setWallTime(when);
        EXPECT_EQ(TimeZone::currentIdentifier(), expected) << "TZ=" << value;
    }
    ::unsetenv("TZ");
    ::tzset();
    setClock(nullptr);
}

// A known answer computed independently (HMAC-SHA256 with key 00..0f over 10..1f, first
// sixteen bytes, version and variant bits set), which is what systemd derives.
TEST(AppSpecificId, MatchesTheSystemdDerivation) {
    std::string machine, app;
    for (int i = 0; i < 16; ++i) {
        machine.push_back(static_cast<char>(i));
        app.push_back(static_cast<char>(16 + i));
    }
    EXPECT_EQ(appSpecificId(machine, app), "E76B9E0F-E402-4D62-AA97-745EF43C654D");
    EXPECT_EQ(appSpecificId(machine.substr(1), app), "");
    EXPECT_EQ(appSpecificId(machine, app + "x"), "");
}

class VendorIdTest : public DeviceTest {
protected:
    static constexpr const char* kMachineId = "5f3c1e0a9b7d4c2e8f6a1b3d5c7e9f01";
    // systemd-id128's derivation for this machine id and SHA-256("com.example") as app id.
    static constexpr const char* kComExampleId = "692530FF-9D38-47B4-8581-18890181EF0E";
    test::IsolatedHome home_;

    void setBundleIdentifier(const std::string& identifier) {
        home_.writeInfoPlist("<key>CFBundleIdentifier</key><string>" + identifier + "</string>");
    }
};

TEST_F(VendorIdTest, IsStablePerVendorAndHidesTheMachineId) {
    put("/etc/machine-id", std::string(kMachineId) + "\n");
    EXPECT_EQ(Device::vendor(), "com.example");
    EXPECT_EQ(Device::identifierForVendor(), kComExampleId);
    EXPECT_EQ(Device::identifierForVendor(), kComExampleId) << "stable across calls";

    setBundleIdentifier("com.example.other-app");
    EXPECT_EQ(Device::identifierForVendor(), kComExampleId) << "apps of one vendor share it";

    setBundleIdentifier("org.other.app");
    EXPECT_EQ(Device::vendor(), "org.other");
    const auto other = Device::identifierForVendor();
    ASSERT_TRUE(other);
    EXPECT_EQ(*other, "CF064418-DF14-4C37-AA45-B85AABFD0352");

    setBundleIdentifier("standalone");
    EXPECT_EQ(Device::vendor(), "standalone");
    EXPECT_NE(Device::identifierForVendor(), kComExampleId);

    put("/etc/machine-id", "5F3C1E0A9B7D4C2E8F6A1B3D5C7E9F01");
    setBundleIdentifier("com.example.host");
    EXPECT_EQ(Device::identifierForVendor(), kComExampleId) << "the same id in upper case";

    put("/etc/machine-id", "0123456789abcdef0123456789abcdef\n");
    const auto id = Device::identifierForVendor();
    ASSERT_TRUE(id);
    EXPECT_NE(*id, kComExampleId) << "another machine, another id";
    std::string hex;
    for (const char c : *id) {
        if (c != '-') {
            hex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    EXPECT_NE(hex, "0123456789abcdef0123456789abcdef");
    ASSERT_EQ(id->size(), 36u);
    EXPECT_EQ((*id)[14], '4') << "version 4";
    EXPECT_NE(std::string("89AB").find((*id)[19]), std::string::npos) << "RFC 4122 variant";
}

TEST_F(VendorIdTest, IsAbsentWithoutAUsableMachineId) {
    EXPECT_EQ(Device::identifierForVendor(), std::nullopt) << "no file";
    for (const char* text : {"", "\n", "uninitialized\n", "00000000000000000000000000000000\n",
                             "5f3c1e0a9b7d4c2e8f6a1b3d5c7e9f0\n", "5f3c1e0a9b7d4c2e8f6a1b3d5c7e9f011\n",
                             "5f3c1e0a-9b7d-4c2e-8f6a-1b3d5c7e9f01\n", "5f3c1e0a9b7d4c2e8f6a1b3d5c7e9fzz\n",
                             "5f3c1e0a9b7d4c2e8f6a1b3d5c7e9f01\n\n"}) {
        put("/etc/machine-id", text);
        EXPECT_EQ(Device::identifierForVendor(), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace lumvex::platform
