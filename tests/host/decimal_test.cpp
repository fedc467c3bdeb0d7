#include "text.h"

#include "platform/sim/sim_control.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct Case {
    const char16_t* text;
    int32_t expected;
};

void ExpectConversions(const Case* begin, const Case* end)
{
    for (const Case* c = begin; c != end; ++c)
        EXPECT_EQ(DecimalToInt(c->text), c->expected) << sim::U8(c->text);
}

TEST(DecimalToInt, SkipsWhiteSpaceTakesOneSignAndStopsAtTheFirstNonDigit)
{
    const Case cases[] = {
        {u"1033", 1033},
        {u"+12", 12},
        {u"-12", -12},
        {u"-0", 0},
        {u"007", 7},
        {u"+-12", 0},
        {u"--1", 0},
        {u"- 12", 0},              // white space only before the sign
        {u"\uFF0D12", 0},          // only the ASCII signs
        {u"12ab34", 12},
        {u"12 34", 12},
        {u"\t\n\v\f\r 7", 7},
        {u" -12", -12},
        {u"\u00A05", 5},
        {u"\u0085" u"5", 0},       // NEL below U+0100 is not among the skipped characters
        {u"\u3000\u2028\u2029\u1680\u2000\u200A\u202F\u205F" u"8", 8},
        {u"\u200B" u"8", 0},       // zero width space is no space
        {u"\uFEFF" u"8", 0},
        {u"", 0},
        {u"abc", 0},
        {u"   ", 0},
        {u"+", 0},
        {u"-", 0},
    };
    ExpectConversions(std::begin(cases), std::end(cases));
}

TEST(DecimalToInt, TakesDigitsOfTheListedScripts)
{
    const struct {
        const char* script;
        char16_t zero;
    } scripts[] = {
        {"ASCII", 0x0030},      {"Arabic-Indic", 0x0660}, {"extended Arabic-Indic", 0x06F0},
        {"Devanagari", 0x0966}, {"Bengali", 0x09E6},      {"Gurmukhi", 0x0A66},
        {"Gujarati", 0x0AE6},   {"Oriya", 0x0B66},        {"Telugu", 0x0C66},
        {"Kannada", 0x0CE6},    {"Malayalam", 0x0D66},    {"Thai", 0x0E50},
        {"Lao", 0x0ED0},        {"Tibetan", 0x0F20},      {"Myanmar", 0x1040},
        {"Khmer", 0x17E0},      {"Mongolian", 0x1810},    {"fullwidth", 0xFF10},
    };
    for (const auto& s : scripts) {
        SCOPED_TRACE(s.script);
        const char16_t z = s.zero;
        // Every digit 0 to 9, then the characters just past either end stop it.
        const char16_t all[] = {char16_t(z + 9), char16_t(z + 8), char16_t(z + 7), char16_t(z + 6), char16_t(z + 5),
                                char16_t(z + 4), char16_t(z + 3), char16_t(z + 2), char16_t(z + 1), 0};
        EXPECT_EQ(DecimalToInt(all), 987654321);
        const char16_t withZero[] = {u'-', char16_t(z + 1), char16_t(z + 0), char16_t(z + 3), char16_t(z + 3), 0};
        EXPECT_EQ(DecimalToInt(withZero), -1033);
        const char16_t pastNine[] = {char16_t(z + 4), char16_t(z + 10), char16_t(z + 1), 0};
        EXPECT_EQ(DecimalToInt(pastNine), 4);
        const char16_t beforeZero[] = {char16_t(z + 4), char16_t(z - 1), char16_t(z + 1), 0};
        EXPECT_EQ(DecimalToInt(beforeZero), 4);
    }
}

TEST(DecimalToInt, MixesScriptsAndStopsAtUnlistedDigits)
{
    const Case cases[] = {
        {u"1\u0662\uFF13\u0E54", 1234},      // ASCII, Arabic-Indic, fullwidth, Thai in one number
        {u"\u3000-\u0967\u0966", -10},       // Devanagari after an ideographic space and a sign
        {u"\u0BE7\u0BE8", 0},                // Tamil is not among the scripts
        {u"12\u0BE73", 12},
        {u"1\u00B2" u"3", 1},                // a superscript two is no decimal digit
        {u"\u2460", 0},                      // nor is a circled one
    };
    ExpectConversions(std::begin(cases), std::end(cases));
}

TEST(DecimalToInt, SaturatesAtThe32BitLimits)
{
    const Case cases[] = {
        {u"2147483647", INT32_MAX},
        {u"2147483648", INT32_MAX},
        {u"4294967296", INT32_MAX},  // no wrap-around to 0
        {u"99999999999999999999999999", INT32_MAX},
        {u"-2147483648", INT32_MIN},
        {u"-2147483649", INT32_MIN},
        {u"-99999999999999999999999999", INT32_MIN},
        {u"000000000000000000000000012", 12},  // many digits, small value
        {u"\uFF12\uFF11\uFF14\uFF17\uFF14\uFF18\uFF13\uFF16\uFF14\uFF18", INT32_MAX},
    };
    ExpectConversions(std::begin(cases), std::end(cases));
}

}  // namespace
