#include "text.h"

#include "platform/sim/sim_control.h"

#include <gtest/gtest.h>

#include <string>

TEST(TextCopyAppend, CutsAtCapacityAndReportsIt)
{
    WCHAR buffer[6] = {};
    EXPECT_TRUE(TextCopy(buffer, 6, u"abcde"));
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    EXPECT_FALSE(TextCopy(buffer, 6, u"abcdef"));
    EXPECT_EQ(std::u16string(buffer), u"abcde");

    TextCopy(buffer, 6, u"ab");
    EXPECT_TRUE(TextAppend(buffer, 6, u"cde"));
    EXPECT_FALSE(TextAppend(buffer, 6, u"f"));
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    EXPECT_FALSE(TextAppend(buffer, 0, u""));

    WCHAR unterminated[3] = {u'x', u'y', u'z'};
    EXPECT_FALSE(TextAppend(unterminated, 3, u"a"));
    EXPECT_EQ(unterminated[2], 0);
}

TEST(TextAppendDecimal, WritesWithoutSignOrLeadingZeros)
{
    struct Case {
        uint32_t value;
        const char16_t* text;
    } cases[] = {{0, u"0"}, {7, u"7"}, {1033, u"1033"}, {65535, u"65535"}, {4294967295u, u"4294967295"}};
    for (const Case& c : cases) {
        WCHAR buffer[16] = u"x=";
        ASSERT_TRUE(TextAppendDecimal(buffer, 16, c.value));
        EXPECT_EQ(std::u16string(buffer), std::u16string(u"x=") + c.text);
    }
    WCHAR small[5] = {};
    EXPECT_FALSE(TextAppendDecimal(small, 5, 12345));
}

TEST(TextFind, FindsFirstOccurrenceCaseSensitively)
{
    const char16_t* text = u"a eject# b eject#";
    EXPECT_EQ(TextFind(text, u"eject#"), text + 2);
    EXPECT_EQ(TextFind(text, u"EJECT#"), nullptr);
    EXPECT_EQ(TextFind(u"ejec", u"eject#"), nullptr);
    EXPECT_EQ(TextFind(u"", u"eject#"), nullptr);
}
