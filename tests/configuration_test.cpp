#include <LumvexSdk/LumvexSdk.h>

#include "ConfigurationAccess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <functional>

using namespace lumvex;
using Access = lumvex::detail::ConfigurationAccess;

namespace {

void expectSameFields(const LumvexConfiguration& a, const LumvexConfiguration& b) {
    EXPECT_EQ(Access::apiKey(a), Access::apiKey(b));
    EXPECT_EQ(Access::pushFormat(a), Access::pushFormat(b));
    EXPECT_EQ(Access::pushRegion(a), Access::pushRegion(b));
    EXPECT_EQ(Access::pushFrequency(a), Access::pushFrequency(b));
    EXPECT_EQ(Access::enableDebugLog(a), Access::enableDebugLog(b));
}

class ConfigurationTest : public ::testing::Test {
protected:
    test::IsolatedHome home;
};

TEST_F(ConfigurationTest, BuilderDefaultsMatchTheEuFactoryAndUsDiffersInRegionOnly) {
    home.writeInfoPlist("<key>lumvex_api_key</key><string>key-123</string>");
    auto built = LumvexConfiguration::Builder().build();
    auto eu = LumvexConfiguration::defaultEuConfig();
    auto us = LumvexConfiguration::defaultUsConfig();
    expectSameFields(*built, *eu);
    EXPECT_EQ(Access::apiKey(*eu), "key-123");
    EXPECT_EQ(Access::pushFormat(*eu), PushFormat::LOCATION_AND_DEVICE_INFO);
    EXPECT_EQ(Access::pushRegion(*eu), PushRegion::EU);
    EXPECT_EQ(Access::pushFrequency(*eu), 1440);
    EXPECT_EQ(Access::pushFrequency(*eu), LumvexConfiguration::DEFAULT_PUSH_FREQUENCY);
    EXPECT_FALSE(Access::enableDebugLog(*eu));
    EXPECT_EQ(Access::pushRegion(*us), PushRegion::US);
    EXPECT_EQ(Access::apiKey(*us), Access::apiKey(*eu));
    EXPECT_EQ(Access::pushFormat(*us), Access::pushFormat(*eu));
    EXPECT_EQ(Access::pushFrequency(*us), Access::pushFrequency(*eu));
}

TEST_F(ConfigurationTest, SettersChainOnOneBuilderAndEachBuildIsIndependent) {
    home.writeInfoPlist("<key>lumvex_api_key</key><string>k</string>");
    LumvexConfiguration::Builder builder;
    EXPECT_EQ(&builder.pushFormat(PushFormat::LOCATION_ONLY), &builder);
    EXPECT_EQ(&builder.pushRegion(PushRegion::US), &builder);
    EXPECT_EQ(&builder.pushFrequency(-5), &builder);
    EXPECT_EQ(&builder.enableDebugLog(true), &builder);
    auto first = builder.build();
    auto second = builder.build();
    EXPECT_NE(first.get(), second.get());
    expectSameFields(*first, *second);
    EXPECT_EQ(Access::pushFrequency(*first), -5);  // stored unchanged; start refuses it
    builder.pushFrequency(0).pushFormat(PushFormat::DEVICE_INFO_ONLY);
    EXPECT_EQ(Access::pushFrequency(*first), -5);
    EXPECT_EQ(Access::pushFormat(*second), PushFormat::LOCATION_ONLY);
    EXPECT_EQ(Access::pushFrequency(*builder.build()), 0);
}

TEST_F(ConfigurationTest, ApiKeyLookupFallsBackToEmpty) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string expected;
    };
    const Case cases[] = {
        {"no key", [&] { home.writeInfoPlist("<key>other</key><string>x</string>"); }, ""},
        {"a number", [&] { home.writeInfoPlist("<key>lumvex_api_key</key><integer>42</integer>"); }, ""},
        {"a boolean", [&] { home.writeInfoPlist("<key>lumvex_api_key</key><true/>"); }, ""},
        {"blanks kept", [&] { home.writeInfoPlist("<key>lumvex_api_key</key><string>  k y \t</string>"); },
         "  k y \t"},
        {"no Info.plist", [&] { std::remove((home.bundleDir() + "/Info.plist").c_str()); }, ""},
        {"not a plist", [&] { test::writeFile(home.bundleDir() + "/Info.plist", "garbage\x01\x02"); }, ""},
        {"root is an array",
         [&] {
             test::writeFile(home.bundleDir() + "/Info.plist",
                             "<?xml version=\"1.0\"?><plist version=\"1.0\"><array>"
                             "<string>lumvex_api_key</string></array></plist>");
         },
         ""},
    };
    for (const auto& c : cases) {
        c.arrange();
        EXPECT_EQ(Access::apiKey(*LumvexConfiguration::Builder().build()), c.expected) << c.name;
        EXPECT_EQ(Access::apiKey(*LumvexConfiguration::defaultEuConfig()), c.expected) << c.name;
        EXPECT_EQ(Access::apiKey(*LumvexConfiguration::defaultUsConfig()), c.expected) << c.name;
    }
}

TEST_F(ConfigurationTest, ReadsBinaryPlistAndSeesChangesAtEachBuild) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "lumvex_api_key", plist_new_string("binary-key"));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bin, &length);
    test::writeFile(home.bundleDir() + "/Info.plist", std::string(bin, length));
    free(bin);
    plist_free(dict);
    LumvexConfiguration::Builder builder;
    EXPECT_EQ(Access::apiKey(*builder.build()), "binary-key");
    home.writeInfoPlist("<key>lumvex_api_key</key><string>changed</string>");
    EXPECT_EQ(Access::apiKey(*builder.build()), "changed");
}

TEST(ErrorKinds, CodesCategoriesAndTextForms) {
    const std::error_code start = LumvexStartException::INVALID_EMPTY_API_KEY;
    EXPECT_STREQ(start.category().name(), "LumvexSdk.LumvexStartException");
    EXPECT_EQ(start.value(), 2);
    EXPECT_EQ(std::error_code(LumvexStartException::ERROR).value(), 0);
    EXPECT_EQ(std::error_code(LumvexStartException::ALREADY_STARTED).value(), 1);

    const std::error_code push = LumvexException::PUSH_FAILED;
    EXPECT_STREQ(push.category().name(), "LumvexSdk.LumvexException");
    EXPECT_EQ(push.value(), 0);
    EXPECT_EQ(std::error_code(LumvexException::JSON_SERIALIZATION_FAILED).value(), 1);
    // Same code, told apart by the domain only.
    EXPECT_NE(push, std::error_code(LumvexStartException::ERROR));

    EXPECT_EQ(to_string(LumvexException::PUSH_FAILED), "LumvexSdk.LumvexException.PUSH_FAILED");
    EXPECT_EQ(to_string(std::optional<LumvexException>(LumvexException::JSON_SERIALIZATION_FAILED)),
              "Optional(LumvexSdk.LumvexException.JSON_SERIALIZATION_FAILED)");
    EXPECT_EQ(to_string(std::optional<LumvexException>()), "nil");
    EXPECT_EQ(to_string(std::optional<LumvexStartException>(LumvexStartException::ALREADY_STARTED)),
              "Optional(LumvexSdk.LumvexStartException.ALREADY_STARTED)");
}

TEST(VersionSymbols, AreExported) {
    EXPECT_EQ(LumvexSdkVersionNumber, 1.0);
    EXPECT_STREQ(reinterpret_cast<const char*>(LumvexSdkVersionString), "1.0.0");
}

}  // namespace
