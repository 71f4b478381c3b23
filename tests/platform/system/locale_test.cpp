#include "platform/system/Locale.h"

#include "FakeSystem.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace lumvex::platform {
namespace {

TEST(Locale, FollowsThePosixVariablesInOrder) {
    test::FakeSystem system;
    EXPECT_EQ(Locale::current().languageCode(), "");
    EXPECT_EQ(Locale::current().regionCode(), "");

    system.setEnv("LANG", "de_AT.UTF-8");
    EXPECT_EQ(Locale::current().languageCode(), "de");
    EXPECT_EQ(Locale::current().regionCode(), "AT");

    system.setEnv("LC_MESSAGES", "fr_CA.UTF-8");
    EXPECT_EQ(Locale::current().languageCode(), "fr");
    EXPECT_EQ(Locale::current().regionCode(), "CA");

    system.setEnv("LC_ALL", "");
    EXPECT_EQ(Locale::current().languageCode(), "fr") << "an empty variable counts as unset";

    system.setEnv("LC_ALL", "pt_BR");
    EXPECT_EQ(Locale::current().languageCode(), "pt");
    EXPECT_EQ(Locale::current().regionCode(), "BR");

    // The first variable that is set decides even when it names no language: the C
    // library would fall back to the C locale rather than look further.
    system.setEnv("LC_ALL", "C.UTF-8");
    EXPECT_EQ(Locale::current().languageCode(), "");
    EXPECT_EQ(Locale::current().regionCode(), "");

    system.clearEnv();
    system.setEnv("LANG", "ja");
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

}  // namespace
}  // namespace lumvex::platform
