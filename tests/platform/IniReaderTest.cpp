#include "platform/IniReader.h"

#include "support/Sandbox.h"

#include <fstream>

namespace
{

const char* const kText = "; comment=not a key\r\n"
                          "orphan=before any section\r\n"
                          "[ Main ]\r\n"
                          "  Name  =   First realm  \r\n"
                          "Port=25860abc\r\n"
                          "Quoted=\"  spaced  \"\r\n"
                          "Single='x'\r\n"
                          "Mixed=\"x'\r\n"
                          "Lone=\"\r\n"
                          "Empty=\r\n"
                          "no equals sign here\r\n"
                          "name=duplicate loses\r\n"
                          "[second]\r\n"
                          "Port=abc\r\n"
                          "Neg= -12\r\n"
                          "[MAIN]\r\n"
                          "Extra=joins the first Main\r\n";

}

TEST(IniReaderTest, NamesMatchWithoutCaseAndBlanksAreDropped)
{
    const platform::IniReader ini(kText);
    EXPECT_EQ(ini.getString("main", "NAME", "-"), "First realm");
    EXPECT_EQ(ini.getString("MAIN", "extra", "-"), "joins the first Main");
    EXPECT_EQ(ini.getString("Main", "Empty", "-"), "");
    EXPECT_EQ(ini.getString("Main", "missing", "def"), "def");
    EXPECT_EQ(ini.getString("nowhere", "Name", "def"), "def");
    EXPECT_EQ(ini.getString("", "orphan", "def"), "def");
    EXPECT_EQ(ini.getSectionNames(), (std::vector<std::string>{"Main", "second"}));
    EXPECT_EQ(ini.getKeyNames("main"), (std::vector<std::string>{"Name", "Port", "Quoted", "Single", "Mixed",
                                                                 "Lone", "Empty", "Extra"}));
    EXPECT_TRUE(ini.getKeyNames("nowhere").empty());
}

TEST(IniReaderTest, MatchingQuotesAreRemoved)
{
    const platform::IniReader ini(kText);
    EXPECT_EQ(ini.getString("Main", "Quoted", ""), "  spaced  ");
    EXPECT_EQ(ini.getString("Main", "Single", ""), "x");
    EXPECT_EQ(ini.getString("Main", "Mixed", ""), "\"x'");
    EXPECT_EQ(ini.getString("Main", "Lone", ""), "\"");
}

TEST(IniReaderTest, IntegersComeFromLeadingDigits)
{
    const platform::IniReader ini(kText);
    EXPECT_EQ(ini.getInt("Main", "Port", 7), 25860);
    EXPECT_EQ(ini.getInt("second", "Port", 7), 0);
    EXPECT_EQ(ini.getInt("second", "Neg", 7), -12);
    EXPECT_EQ(ini.getInt("Main", "Empty", 7), 0);
    EXPECT_EQ(ini.getInt("second", "Missing", 7), 7);
    EXPECT_EQ(platform::leadingInt("99999999999999"), 2147483647);
    EXPECT_EQ(platform::leadingInt("  12/x"), 12);
    EXPECT_EQ(platform::leadingInt("/x"), 0);
}

TEST(IniReaderTest, LongValuesAreCutWithoutSplittingCharacters)
{
    const std::string value(2000, 'v');
    EXPECT_EQ(platform::IniReader("[s]\nk=" + value + "\n").getString("s", "k", "").size(), 1023u);
    // Two-byte characters: 1023 bytes would end inside one.
    std::string cyrillic;
    for (int i = 0; i < 600; ++i)
        cyrillic += "Ж";
    EXPECT_EQ(platform::IniReader("[s]\nk=" + cyrillic + "\n").getString("s", "k", "").size(), 1022u);
}

TEST(IniReaderTest, NameListsStopAtTheBufferSize)
{
    // 40 names of 99 characters take 100 bytes each; 40 of them fit into
    // 4096 bytes with the final NUL, the 41st does not.
    std::string text;
    for (int i = 0; i < 41; ++i)
    {
        char prefix[8];
        std::snprintf(prefix, sizeof prefix, "%03d", i);
        text += "[" + std::string(prefix) + std::string(96, 's') + "]\nk=v\n";
    }
    text += "[Languages]\n";
    for (int i = 0; i < 41; ++i)
        text += std::to_string(1000 + i) + std::string(95, 'k') + "=v\n";
    const platform::IniReader ini(text);
    EXPECT_EQ(ini.getSectionNames().size(), 40u);
    EXPECT_EQ(ini.getKeyNames("Languages").size(), 40u);
    EXPECT_EQ(ini.getKeyNames("Languages").back().substr(0, 4), "1039");
}

TEST(IniReaderTest, FilesInWindows1251AreConverted)
{
    Sandbox sandbox;
    std::ofstream("legacy.ini", std::ios::binary)
        << "[\xCF\xF0\xE8]\r\nName=\xCE\xF1\xED\xEE\xE2\xED\xEE\xE9\r\n";
    std::ofstream("utf8.ini", std::ios::binary) << "\xEF\xBB\xBF[Main]\nName=Основной\n";
    EXPECT_EQ(platform::IniReader::fromFile("legacy.ini").getString("При", "Name", ""), "Основной");
    EXPECT_EQ(platform::IniReader::fromFile("utf8.ini").getString("Main", "Name", ""), "Основной");
    EXPECT_EQ(platform::IniReader::fromFile("missing.ini").getString("Main", "Name", "def"), "def");
    EXPECT_EQ(platform::IniReader::fromFile(".").getInt("Main", "Port", 5), 5);
    EXPECT_TRUE(platform::IniReader::fromFile("/dev/zero").getSectionNames().empty());
}
