#include "platform/system/Device.h"
#include "platform/system/VendorId.h"

#include "FakeSystem.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>

namespace lumvex::platform {
namespace {

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

class VendorIdTest : public ::testing::Test {
protected:
    static constexpr const char* kMachineId = "5f3c1e0a9b7d4c2e8f6a1b3d5c7e9f01";
    // systemd-id128's derivation for this machine id and SHA-256("com.example") as app id.
    static constexpr const char* kComExampleId = "692530FF-9D38-47B4-8581-18890181EF0E";
    test::FakeSystem system_;
    test::IsolatedHome home_;

    void setBundleIdentifier(const std::string& identifier) {
        home_.writeInfoPlist("<key>CFBundleIdentifier</key><string>" + identifier + "</string>");
    }
};

TEST_F(VendorIdTest, IsStablePerVendorAndHidesTheMachineId) {
    system_.put("/etc/machine-id", std::string(kMachineId) + "\n");
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

    system_.put("/etc/machine-id", "5F3C1E0A9B7D4C2E8F6A1B3D5C7E9F01");
    setBundleIdentifier("com.example.host");
    EXPECT_EQ(Device::identifierForVendor(), kComExampleId) << "the same id in upper case";

    system_.put("/etc/machine-id", "0123456789abcdef0123456789abcdef\n");
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
        system_.put("/etc/machine-id", text);
        EXPECT_EQ(Device::identifierForVendor(), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace lumvex::platform
