#include "platform/TextEncoding.h"

#include <gtest/gtest.h>

TEST(TextEncodingTest, RecognisesUtf8)
{
    EXPECT_TRUE(platform::isValidUtf8(""));
    EXPECT_TRUE(platform::isValidUtf8("plain"));
    EXPECT_TRUE(platform::isValidUtf8("Ошибка €"));
    EXPECT_FALSE(platform::isValidUtf8("\xCE\xF8\xE8\xE1\xEA\xE0")); // "Ошибка" in Windows-1251
    EXPECT_FALSE(platform::isValidUtf8("\xC0\xAF"));                 // overlong '/'
    EXPECT_FALSE(platform::isValidUtf8("\xED\xA0\x80"));             // surrogate
    EXPECT_FALSE(platform::isValidUtf8("\xD0"));                     // cut short
}

TEST(TextEncodingTest, ConvertsWindows1251)
{
    EXPECT_EQ(platform::cp1251ToUtf8("\xCE\xF8\xE8\xE1\xEA\xE0 \xB8\xA8"), "Ошибка ёЁ");
    // 0x98 has no character; the rest still converts.
    EXPECT_EQ(platform::cp1251ToUtf8("a\x98\xE0"), "a\xEF\xBF\xBD"
                                                   "а");
    EXPECT_EQ(platform::toUtf8FromLegacy("Ошибка"), "Ошибка");
    EXPECT_EQ(platform::toUtf8FromLegacy("\xCE\xF8"), "Ош");
}
