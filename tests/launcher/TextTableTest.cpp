#include "launcher/TextTable.h"

#include "launcher/BuiltinTexts.h"
#include "support/Sandbox.h"

#include <fstream>

namespace
{

class TextTableTest : public SandboxTest
{
protected:
    void TearDown() override { setBuiltinLanguage(BuiltinLanguage::English); }
};

} // namespace

TEST_F(TextTableTest, FileTextsComeBeforeBuiltInOnes)
{
    std::ofstream("Lang.lng", std::ios::binary) << "[Language]\r\n0190=Old DirectX\r\n172=\r\n 5x = five\r\n"
                                                   "5=five again\r\n=no id\r\n[Other]\r\n173=ignored\r\n";
    setBuiltinLanguage(BuiltinLanguage::Russian);
    CTextTable table;
    table.load("Lang.lng");
    EXPECT_EQ(table.text(190), "Old DirectX");
    EXPECT_EQ(table.text(172), "");               // present, though empty
    EXPECT_EQ(table.text(5), "five again");       // a later duplicate id wins
    EXPECT_EQ(table.text(173), builtinText(173)); // from the built-in set
    EXPECT_EQ(table.text(182), "Готов к работе");
    EXPECT_EQ(table.text(0), ""); // the empty key was skipped
    EXPECT_EQ(table.text(9999), "");
    EXPECT_EQ(table.size(), 3u);

    table.load("");
    EXPECT_EQ(table.size(), 0u);
    setBuiltinLanguage(BuiltinLanguage::English);
    EXPECT_EQ(table.text(182), "Ready to work");
}

TEST(BuiltinTextsTest, BothSetsHoldEveryUsedId)
{
    const int ids[] = {151, 156, 157, 158, 159, 160, 161, 162, 163, 164, 165, 166,
                       167, 168, 169, 170, 171, 172, 173, 174, 175, 176, 177, 178,
                       179, 180, 181, 182, 188, 190, 191, 192, 195, 196, 197, 205};
    for (int id : ids)
    {
        EXPECT_FALSE(builtinText(id, BuiltinLanguage::English).empty()) << id;
        EXPECT_NE(builtinText(id, BuiltinLanguage::English), builtinText(id, BuiltinLanguage::Russian)) << id;
    }
    EXPECT_EQ(builtinText(151, BuiltinLanguage::Russian), "Одна копия Zelvan.exe уже запущена!");
    EXPECT_EQ(builtinText(171, BuiltinLanguage::Russian), "Осталось времени: ");
    EXPECT_EQ(builtinText(171, BuiltinLanguage::English), "Time remaining:");
}

TEST(BuiltinTextsTest, EnglishTextsAreWholeAndThePlayersExtrasExist)
{
    // The connecting status once began with a Cyrillic letter, shown as "?".
    EXPECT_EQ(builtinText(174, BuiltinLanguage::English), "Connecting to server");
    for (int id = 151; id <= 204; ++id)
    {
        const std::string english = builtinText(id, BuiltinLanguage::English);
        for (char c : english)
            EXPECT_TRUE(static_cast<unsigned char>(c) < 0x80 && c != '?') << id << ": " << english;
    }
    for (int id = 197; id <= 204; ++id)
    {
        EXPECT_FALSE(builtinText(id, BuiltinLanguage::English).empty()) << id;
        EXPECT_NE(builtinText(id, BuiltinLanguage::English), builtinText(id, BuiltinLanguage::Russian)) << id;
    }
}
