#include "launcher/MyWinApp.h"

#include <gtest/gtest.h>

namespace
{

CMyWinApp appWith(const std::string& commandLine)
{
    CMyWinApp app;
    app.initInstance(commandLine);
    return app;
}

} // namespace

TEST(MyWinAppTest, TokensAreCutAtBlanksWithoutQuoting)
{
    EXPECT_EQ(appWith("  /a\t\t\"two words\"  x ").tokens(),
              (std::vector<std::string>{"/a", "\"two", "words\"", "x"}));
    EXPECT_TRUE(appWith("").tokens().empty());
    EXPECT_TRUE(appWith(" \t ").tokens().empty());
    std::string many;
    for (int i = 0; i < 40; ++i)
        many += "t" + std::to_string(i) + " ";
    EXPECT_EQ(appWith(many).tokens().size(), 40u);
}

TEST(MyWinAppTest, SwitchesMatchWholeTokensWithoutCase)
{
    const CMyWinApp app = appWith("/ENG /Rus /rusx");
    EXPECT_TRUE(app.hasSwitch("/rus"));
    EXPECT_TRUE(app.hasSwitch("/eng"));
    EXPECT_FALSE(app.hasSwitch("/ru"));
    EXPECT_FALSE(app.hasSwitch("rus"));
}

TEST(MyWinAppTest, SwitchValueSkipsMissingAndSwitchLikeValues)
{
    EXPECT_EQ(appWith("/auto_realm").getSwitchValue("/auto_realm"), std::nullopt);
    EXPECT_EQ(appWith("/auto_realm /rus").getSwitchValue("/auto_realm"), std::nullopt);
    EXPECT_EQ(appWith("/auto_realm Main /auto_realm").getSwitchValue("/auto_realm"), "Main");
    EXPECT_EQ(appWith("/auto_realm -x /AUTO_REALM Second").getSwitchValue("/auto_realm"), "Second");
    EXPECT_EQ(appWith("/auto_realm A /auto_realm B").getSwitchValue("/auto_realm"), "A");
}

TEST(MyWinAppTest, CommandLineJoinsTheArguments)
{
    char prog[] = "Zelvan", a[] = "/auto_realm", b[] = "Main realm";
    char* argv[] = {prog, a, b, nullptr};
    EXPECT_EQ(CMyWinApp::commandLineFromArgs(3, argv), "/auto_realm Main realm");
    EXPECT_EQ(CMyWinApp::commandLineFromArgs(1, argv), "");
}
