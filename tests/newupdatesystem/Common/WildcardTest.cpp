#include <gtest/gtest.h>

#include <string>

#include "newupdatesystem/Common/Wildcard.h"

TEST(Wildcard, StarsQuestionMarksAndCase)
{
    EXPECT_TRUE(wildcardMatch("error.log", "*.log"));
    EXPECT_TRUE(wildcardMatch("error.LOG", "*.log"));
    EXPECT_TRUE(wildcardMatch("ERROR.log", "error.LOG"));
    EXPECT_FALSE(wildcardMatch("error.log1", "*.log"));
    EXPECT_TRUE(wildcardMatch("anything", "*"));
    EXPECT_TRUE(wildcardMatch("", "*"));
    EXPECT_TRUE(wildcardMatch("", ""));
    EXPECT_FALSE(wildcardMatch("a", ""));
    EXPECT_FALSE(wildcardMatch("", "a"));
    EXPECT_TRUE(wildcardMatch("abc", "a?c"));
    EXPECT_FALSE(wildcardMatch("ac", "a?c"));
    EXPECT_TRUE(wildcardMatch("abc", "abc*"));
    EXPECT_FALSE(wildcardMatch("abcd", "abc"));
    EXPECT_TRUE(wildcardMatch("x.tmp.tmp", "*.tmp"));
    EXPECT_TRUE(wildcardMatch("data1.bin", "data?.*"));
}

TEST(Wildcard, QuestionMarkTakesExactlyOneCharacter)
{
    EXPECT_FALSE(wildcardMatch("abc", "abc?"));
    EXPECT_FALSE(wildcardMatch("", "?"));
    EXPECT_FALSE(wildcardMatch("", "*?"));
    EXPECT_TRUE(wildcardMatch("a", "*?"));
    EXPECT_TRUE(wildcardMatch("ab", "??"));
    EXPECT_FALSE(wildcardMatch("ab", "???"));
}

TEST(Wildcard, OccurrencesAfterAStarDoNotOverlap)
{
    EXPECT_FALSE(wildcardMatch("aaa", "*aa"));
    EXPECT_TRUE(wildcardMatch("aaa", "*a"));
    EXPECT_TRUE(wildcardMatch("aaa", "a*a"));
    EXPECT_TRUE(wildcardMatch("abab.c", "*ab.c"));
    EXPECT_TRUE(wildcardMatch("xaybzaybz", "*ayb?"));
}

TEST(Wildcard, ManyStarsStayFast)
{
    // Without remembering failed tries this takes exponential time.
    const std::string name = std::string(126, 'a') + "b";
    std::string pattern;
    for (int i = 0; i < 40; ++i)
        pattern += "*a";
    pattern += "*c";
    EXPECT_FALSE(wildcardMatch(name.c_str(), pattern.c_str()));
    EXPECT_TRUE(wildcardMatch(name.c_str(), (pattern.substr(0, pattern.size() - 1) + "b").c_str()));
}
