#include "platform/base/Text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

using namespace lumvex;

TEST(Base64, EncodesTheRfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(platform::base64Encode(plain), encoded);
        EXPECT_EQ(platform::base64Decode(encoded), std::optional<std::string>(plain)) << encoded;
    }
    // The standard alphabet's last two letters, and bytes that are not text.
    EXPECT_EQ(platform::base64Encode("\xfb\xff\xbf"), "+/+/");
    EXPECT_EQ(platform::base64Decode("+/+/"), std::optional<std::string>("\xfb\xff\xbf"));
    // Long input comes out on one line.
    EXPECT_EQ(platform::base64Encode(std::string(200, 'a')).find('\n'), std::string::npos);
}

TEST(Base64, DecodingIsStrict) {
    for (const char* bad : {
             "Zg",         // padding missing
             "Zg=",        // padding short
             "Zm9",        // length not a multiple of four
             "Zm9v====",   // padding where none belongs
             "Zg==Zg==",   // padding in the middle
             "Zm=v",       // padding inside a group
             "Zh==",       // bits beyond the last byte are set
             "Zm9v\n",     // line break
             " Zm9v",      // white space
             "Zm9v YmFy",  // white space inside
             "Zm$v",       // outside the alphabet
             "-_-_",       // the URL-safe alphabet
             "====",
         }) {
        EXPECT_FALSE(platform::base64Decode(bad)) << bad;
    }
}

TEST(Utf8, ValidityFollowsTheUnicodeDefinition) {
    for (const char* good : {"", "plain ascii", "caf\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                             "\xef\xbf\xbf", "\xf4\x8f\xbf\xbf"}) {
        EXPECT_TRUE(platform::isValidUtf8(good)) << good;
    }
    for (const char* bad :
         {"\x80", "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80", "\xed\xa0\x80", "\xf0\x80\x80\x80",
          "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff", "\xc3", "\xe2\x82", "a\xf0\x9f\x98"}) {
        EXPECT_FALSE(platform::isValidUtf8(bad)) << bad;
    }
    EXPECT_TRUE(platform::isValidUtf8(std::string("a\0b", 3)));
}

TEST(Utf8, RepairReplacesEachMaximalIllFormedPartWithOneReplacementCharacter) {
    const std::string fffd = "\xef\xbf\xbd";
    // The Unicode standard's own example of U+FFFD substitution.
    EXPECT_EQ(platform::repairUtf8("\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64"),
              "a" + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d");
    // Surrogates and overlong forms are not a prefix of anything valid: one per byte.
    EXPECT_EQ(platform::repairUtf8("\xed\xa0\x80"), fffd + fffd + fffd);
    EXPECT_EQ(platform::repairUtf8("\xc0\xaf"), fffd + fffd);
    // A sequence cut off at the end.
    EXPECT_EQ(platform::repairUtf8("ok\xf0\x9f\x98"), "ok" + fffd);
    EXPECT_EQ(platform::repairUtf8("caf\xc3\xa9"), "caf\xc3\xa9");
}

// Two trims for two kinds of text: Unicode's white space for the library's own UTF-8, and
// only ASCII blanks for what system files hold, whose other bytes may not be UTF-8 at all.
TEST(Trim, WhiteSpaceIsUnicodesAndBlanksAreAsciiOnly) {
    const std::string nbsp = "\xc2\xa0";
    const struct {
        std::string text;
        std::string whiteSpaceTrimmed;
        std::string blanksTrimmed;
    } cases[] = {
        {" \t a b \r\n", "a b", "a b"},
        {"\v\fx\v", "x", "\v\fx\v"},
        {nbsp + "x" + nbsp, "x", nbsp + "x" + nbsp},
        {" \n ", "", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::trimWhiteSpace(c.text), c.whiteSpaceTrimmed) << c.text;
        EXPECT_EQ(platform::trimBlanks(c.text), c.blanksTrimmed) << c.text;
    }
    // Bytes that are no UTF-8 are kept, even where a decoder would read a space in them.
    EXPECT_EQ(platform::trimBlanks("\x80\xa0 "), "\x80\xa0");
}
