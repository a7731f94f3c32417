// What veltsim makes of a device's UTF-16 strings, which reach its text and its JSON: valid UTF-8
// whatever the device sent.
#include "describe.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Narrow, EveryCodePointBecomesUtf8AndEveryLoneSurrogateTheReplacementCharacter) {
    struct Case {
        const char* name;
        std::u16string text;
        std::string utf8;
    } cases[] = {
        {"ASCII", u"VD0001", "VD0001"},
        {"two bytes", u"\u00e9", "\xc3\xa9"},
        {"three bytes", u"\u20ac\uffff", "\xe2\x82\xac\xef\xbf\xbf"},
        {"a surrogate pair", u"a\U0001F3AEb",
         "a\xf0\x9f\x8e\xae"
         "b"},
        {"the last code point", u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},
        {"a high surrogate at the end", std::u16string(u"x") + char16_t(0xD83C), "x\xef\xbf\xbd"},
        {"a high surrogate before another character", std::u16string(1, char16_t(0xD83C)) + u"y",
         "\xef\xbf\xbdy"},
        {"a low surrogate alone", std::u16string(1, char16_t(0xDFAE)), "\xef\xbf\xbd"},
        {"two high surrogates then a low one",
         std::u16string{char16_t(0xD83C), char16_t(0xD83C), char16_t(0xDFAE)},
         "\xef\xbf\xbd\xf0\x9f\x8e\xae"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.utf8, veltsim::Narrow(c.text)) << c.name;
    }
}

} // namespace
