#include <LumvexSdk/LumvexSdk.h>

#include "TestSupport.h"
#include "config/ConfigurationAccess.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <sys/stat.h>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

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

// A key from the host wins over the Info.plist's, also an empty one (which start refuses),
// and keeps winning at later builds of the same builder.
TEST_F(ConfigurationTest, TheHostsKeyTakesOverTheInfoPlist) {
    struct Case {
        const char* name;
        const char* plistKey;  // nullptr: no Info.plist at all
        std::string hostKey;
        std::string expected;
    };
    const Case cases[] = {
        {"over the Info.plist's", "plist-key", "host-key", "host-key"},
        {"without an Info.plist", nullptr, "host-key", "host-key"},
        {"empty stays empty", "plist-key", "", ""},
        {"blanks kept", nullptr, " k ", " k "},
    };
    for (const auto& c : cases) {
        std::remove((home.bundleDir() + "/Info.plist").c_str());
        if (c.plistKey) {
            home.writeInfoPlist(std::string("<key>lumvex_api_key</key><string>") + c.plistKey + "</string>");
        }
        LumvexConfiguration::Builder builder;
        EXPECT_EQ(&builder.apiKey(c.hostKey), &builder) << c.name;
        EXPECT_EQ(Access::apiKey(*builder.build()), c.expected) << c.name;
        home.writeInfoPlist("<key>lumvex_api_key</key><string>changed</string>");
        EXPECT_EQ(Access::apiKey(*builder.build()), c.expected) << c.name;
    }
    EXPECT_EQ(Access::apiKey(*LumvexConfiguration::Builder().build()), "changed");
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

// A binary property list whose root dictionary holds "lumvex_api_key" = "k" and "deep" =
// `depth` arrays, each the only element of the one around it.
std::string deepBinaryPlist(std::size_t depth) {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    auto bigEndian = [&](std::uint64_t value, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) {
            out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        }
    };
    offsets.push_back(out.size());
    out.push_back('\xD2');  // a dictionary of two: keys 1 and 2, values 3 and 4
    for (std::uint64_t ref : {1, 2, 3, 4}) {
        bigEndian(ref, 4);
    }
    for (const std::string text : {"lumvex_api_key", "deep", "k"}) {
        offsets.push_back(out.size());
        out.push_back(static_cast<char>(0x50 | text.size()));
        out += text;
    }
    for (std::size_t i = 0; i < depth; ++i) {
        offsets.push_back(out.size());
        if (i + 1 < depth) {
            out.push_back('\xA1');
            bigEndian(5 + i, 4);
        } else {
            out.push_back('\xA0');
        }
    }
    const auto table = out.size();
    for (const auto offset : offsets) {
        bigEndian(offset, 4);
    }
    out.append(6, '\0');
    out.push_back(4);  // offset size
    out.push_back(4);  // reference size
    bigEndian(offsets.size(), 8);
    bigEndian(0, 8);  // the root
    bigEndian(table, 8);
    return out;
}

std::string deepXmlPlist(std::size_t depth) {
    std::string nested;
    nested.reserve(depth * 15);
    for (std::size_t i = 0; i < depth; ++i) {
        nested += "<array>";
    }
    for (std::size_t i = 0; i < depth; ++i) {
        nested += "</array>";
    }
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>lumvex_api_key</key><string>k</string>"
           "<!-- <array><array> --><key>deep</key>" +
           nested + "</dict></plist>";
}

// A hostile or broken Info.plist gives a configuration without a key, neither a crash (the
// parser recurses once per level) nor a stall, nor a host thread blocked on a FIFO.
TEST_F(ConfigurationTest, AHostileInfoPlistGivesNoKeyAndNeverCrashesOrBlocks) {
    const auto plist = home.bundleDir() + "/Info.plist";
    struct Case {
        const char* name;
        std::string content;
        std::string expected;
    };
    const Case cases[] = {
        {"binary, a few levels", deepBinaryPlist(10), "k"},
        {"binary, 100 000 levels", deepBinaryPlist(100000), ""},
        {"XML, a few levels", deepXmlPlist(10), "k"},
        {"XML, 100 000 levels", deepXmlPlist(100000), ""},
    };
    for (const auto& c : cases) {
        test::writeFile(plist, c.content);
        std::string key = "unset";
        EXPECT_TRUE(test::finishesWithoutBlocking(
            [&] { key = Access::apiKey(*LumvexConfiguration::Builder().build()); }, {}))
            << c.name;
        EXPECT_EQ(key, c.expected) << c.name;
    }
    std::remove(plist.c_str());
    ASSERT_EQ(::mkfifo(plist.c_str(), 0600), 0);
    std::string key = "unset";
    EXPECT_TRUE(test::finishesWithoutBlocking(
        [&] { key = Access::apiKey(*LumvexConfiguration::Builder().build()); }, {plist}));
    EXPECT_EQ(key, "");
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
