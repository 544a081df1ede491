#include "launcher/PageOps.h"
#include "launcher/LauncherCommands.h"
#include "launcher/ProgressText.h"
#include "launcher/UpdCallback.h"

#include <gtest/gtest.h>

#include <vector>

TEST(PageOps, JsLiteralEscapesEverythingThatCouldEndIt)
{
    EXPECT_EQ(jsStringLiteral("a\"b'c\\d"), "\"a\\\"b\\'c\\\\d\"");
    EXPECT_EQ(jsStringLiteral("</script><!--"), "\"\\u003C/script\\u003E\\u003C!--\"");
    EXPECT_EQ(jsStringLiteral("1\n2\r3"), "\"1\\n2\\r3\"");
    EXPECT_EQ(jsStringLiteral("\xE2\x80\xA8|\xE2\x80\xA9"), "\"\\u2028|\\u2029\"");
    EXPECT_EQ(jsStringLiteral("Готов"), "\"Готов\"");
    // Broken UTF-8 and control bytes never reach the engine raw.
    EXPECT_EQ(jsStringLiteral("a\xFF\xC3"), "\"a\\uFFFD\\uFFFD\"");
    EXPECT_EQ(jsStringLiteral(std::string("\x01\0", 2)), "\"\\u0001\\u0000\"");
}

TEST(PageOps, FragmentsKeepThePageContract)
{
    EXPECT_EQ(playButtonHtml(true, 1),
              "<a href=\"launcher://play\"><img id=\"play_button\" src=\"art/play_1_enabled.png\"/></a>");
    EXPECT_EQ(playButtonHtml(false, 0), "<img id=\"play_button\" src=\"art/play_0_disabled.png\"/>");
    EXPECT_EQ(commandButtonHtml("reconnect", 0),
              "<a href=\"launcher://reconnect\"><img id=\"reconnect_button\" "
              "src=\"art/reconnect_0_enabled.png\"/></a>");
    EXPECT_EQ(languageLinkHtml(1, 7), "<a href=\"launcher://language/1\"><img src=\"art/7.png\"></a>&nbsp;");
    EXPECT_EQ(progressRule(42), "#progress{ width: 42%;}");

    std::string list = realmListHtml({"Main", "Second <b>"}, 1);
    EXPECT_NE(list.find("size=\"2\""), std::string::npos);
    EXPECT_NE(list.find("launcher://changeServer/' + e.selectedIndex"), std::string::npos);
    EXPECT_NE(list.find("<option>Main</options><option selected>Second &lt;b&gt;</options></select>"),
              std::string::npos);
    // A realm name cannot leave its attribute.
    EXPECT_EQ(realmButtonHtml("A\"B", false),
              "<input id=\"select_button\" type=\"button\" value=\"A&quot;B\">");
    EXPECT_EQ(
        realmButtonHtml("M", true),
        "<input id=\"select_button\" type=\"button\" value=\"M\", onMouseDown=\"switch_list_control();\">");
}

TEST(PageOps, PageAddresses)
{
    EXPECT_EQ(webPageUrl("http://h/zelvan1/index.php", 0), "http://h/zelvan1/index.php");
    EXPECT_EQ(webPageUrl("http://h/zelvan1/index.php", 2), "http://h/zelvan1/index.php/index2.html");
    EXPECT_EQ(webPageUrl("http://h/", 1), "http://h/index1.html");
    EXPECT_EQ(webPageUrl("", 1), "/index1.html");
    EXPECT_EQ(localPageUrl("/games/My Game", 1), "file:///games/My%20Game/launcher_resources/launcher1.html");
}

TEST(LauncherCommands, ParsesAndDispatches)
{
    struct Recorder : ILauncherCommands
    {
        std::vector<std::string> calls;
        void commandPlay() override { calls.push_back("play"); }
        void commandLanguage(int n) override { calls.push_back("language " + std::to_string(n)); }
        void commandRefresh() override { calls.push_back("refresh"); }
        void commandReconnect() override { calls.push_back("reconnect"); }
        void commandChangeServer(int n) override { calls.push_back("changeServer " + std::to_string(n)); }
    } r;

    auto run = [&](const std::string& url)
    {
        LauncherUrl u = parseLauncherUrl(url);
        dispatchLauncherCommand(u, r);
        return u;
    };
    EXPECT_TRUE(run("launcher://play/").intercepted);
    EXPECT_TRUE(run("launcher://changeServer/1").matched);
    run("launcher://language/12x");
    LauncherUrl upper = run("LAUNCHER://play");
    EXPECT_TRUE(upper.intercepted);
    EXPECT_FALSE(upper.matched);
    EXPECT_TRUE(run("Launcher://").intercepted);
    run("launcher://Play");
    run("launcher://unknown/3");
    run("launcher://language/99999999999999");
    EXPECT_FALSE(run("http://example.org/launcher:/play").intercepted);
    EXPECT_EQ(r.calls,
              (std::vector<std::string>{"play", "changeServer 1", "language 12", "language 2147483647"}));
}

TEST(ProgressText, RateTextsAtTheirBounds)
{
    auto rateOver1s = [](uint32_t bytes)
    {
        uint32_t rate = 0;
        EXPECT_TRUE(computeRate(bytes, 1000, rate));
        return formatRateText(rate);
    };
    EXPECT_EQ(rateOver1s(1024), "1023 b/s");
    EXPECT_EQ(rateOver1s(1025), "1.0 kb/s");
    EXPECT_EQ(rateOver1s(10240), "10.0 kb/s");
    EXPECT_EQ(rateOver1s(10241), "10 kb/s");
    EXPECT_EQ(rateOver1s(10752), "10 kb/s");
    EXPECT_EQ(rateOver1s(10753), "11 kb/s");
    uint32_t rate = 7;
    EXPECT_FALSE(computeRate(5000, 0, rate)); // forced again within the same millisecond
    EXPECT_EQ(rate, 7u);
    EXPECT_EQ(formatTimeText(3725.4f), "01:02:05");
    EXPECT_EQ(formatTimeText(0), "00:00:00");
}

TEST(ProgressText, TimePatternFromFileNeverReachesPrintf)
{
    EXPECT_EQ(formatTimePattern("Left %02d:%02d:%02d", 1, 2, 3), "Left 01:02:03");
    EXPECT_EQ(formatTimePattern("Time remaining:", 1, 2, 3), "Time remaining:");
    EXPECT_EQ(formatTimePattern("%s%n%d%d%d%d 100%%", 1, 2, 3), "%s%n123%d 100%");
}

TEST(UpdCallback, CountsPostsAndEstimates)
{
    CUpdCallback cb;
    uint32_t now = 1000;
    cb.setClock([&] { return now; });
    cb.onUpdateEvent(UPD_EVENT_CONNECTING, nullptr, 0); // no window yet: dropped
    std::vector<int> posted;
    cb.setTargetWindow([&](int e) { posted.push_back(e); });

    cb.resetProgress();
    cb.onUpdateEvent(UPD_EVENT_TRAFFIC, nullptr, 100.4f);
    cb.onUpdateEvent(UPD_EVENT_TRAFFIC, nullptr, 0.6f);
    EXPECT_EQ(cb.getBytes(), 101);
    cb.onUpdateEvent(UPD_EVENT_FILE_REQUEST, std::string(3000, 'x').c_str(), 0);
    EXPECT_EQ(cb.getText().size(), CUpdCallback::TEXT_SIZE - 1);
    cb.onUpdateEvent(UPD_EVENT_DELETING, nullptr, 0);
    EXPECT_EQ(posted, (std::vector<int>{UPD_EVENT_FILE_REQUEST, UPD_EVENT_DELETING}));

    cb.onUpdateEvent(UPD_EVENT_PROGRESS, nullptr, 0.5f);
    now += 2000;
    EXPECT_EQ(cb.estimateSecondsLeft(), 0); // within the first 3 seconds
    now += 8000;
    EXPECT_NEAR(cb.estimateSecondsLeft(), 10.0f, 0.01f);
    cb.onUpdateEvent(UPD_EVENT_PROGRESS, nullptr, 0.995f);
    EXPECT_EQ(cb.estimateSecondsLeft(), 0);
    cb.onUpdateEvent(UPD_EVENT_PROGRESS, nullptr, 0.0005f);
    EXPECT_EQ(cb.estimateSecondsLeft(), 0);
}

TEST(LauncherCommands, RepairIsAnExtraThatOlderTargetsIgnore)
{
    struct Target : ILauncherCommands
    {
        int repairs = 0;
        void commandPlay() override {}
        void commandLanguage(int) override {}
        void commandRefresh() override {}
        void commandReconnect() override {}
        void commandChangeServer(int) override {}
        void commandRepair() override { ++repairs; }
    } target;
    EXPECT_TRUE(dispatchLauncherCommand(parseLauncherUrl("launcher://repair"), target));
    EXPECT_EQ(target.repairs, 1);
    EXPECT_FALSE(dispatchLauncherCommand(parseLauncherUrl("launcher://Repair"), target));
    EXPECT_EQ(target.repairs, 1);
}

TEST(ProgressText, PlayerTextsFillPatternsAndNameSizes)
{
    // Patterns come from language files: only "%s" is filled, nothing reaches printf.
    EXPECT_EQ(fillPattern("need %s, free %s in \"%s\"", {"1.0 MB", "2 B", "/g"}),
              "need 1.0 MB, free 2 B in \"/g\"");
    EXPECT_EQ(fillPattern("%d %n %s%s", {"x"}), "%d %n x");
    EXPECT_EQ(fillPattern("100%", {}), "100%");
    EXPECT_EQ(formatBytes(0), "0 B");
    EXPECT_EQ(formatBytes(1023), "1023 B");
    EXPECT_EQ(formatBytes(1536), "1.5 kB");
    EXPECT_EQ(formatBytes(uint64_t(45) << 20), "45.0 MB");
    EXPECT_EQ(formatBytes(uint64_t(5) << 40), "5.0 TB");
    // The local page's bar never leaves 0..100.
    EXPECT_EQ(progressBarHtml(150), "<div id=\"progress\" style=\"width: 100%;\"></div>");
    EXPECT_EQ(progressBarHtml(-3), "<div id=\"progress\" style=\"width: 0%;\"></div>");
}
