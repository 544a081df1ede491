// launcher:// commands, the game start, the self-update hand-over and closing,
// with a scripted update client behind the real window.
#include "WindowTestSupport.h"

#include "launcher/GameLaunch.h"
#include "launcher/PageOps.h"
#include "launcher/WebBrowser2.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>

#include <fstream>

namespace fs = std::filesystem;

class WindowCommandsTest : public WindowTest
{
protected:
    std::unique_ptr<CUpdaterDlg> readyDialog()
    {
        prepareInstallation(1, m_web.url());
        auto dlg =
            makeDialog(scriptedHooks({{UPD_SELF_UP_TO_DATE}, {UPD_OK}, {UPD_SELF_UP_TO_DATE}, {UPD_OK}}));
        EXPECT_TRUE(spinUntil([&] { return dlg->readyToPlay() && !dlg->hasClient(); }));
        return dlg;
    }
    WebPageServer m_web;
};

TEST_F(WindowCommandsTest, ChangeServerAndLanguage)
{
    auto dlg = readyDialog();
    ASSERT_EQ(m_clients.size(), 2u);
    EXPECT_EQ(m_clients[0].job, JOB_SELF_UPDATE);
    EXPECT_EQ(m_clients[0].realmName, "Main");
    EXPECT_EQ(m_clients[1].job, JOB_UPDATE);

    EXPECT_TRUE(dlg->onBeforeNavigate("launcher://changeServer/1"));
    EXPECT_FALSE(dlg->readyToPlay());
    EXPECT_NE(readFile("connect.cfg").find("MAIN_URL \"10.0.0.2:7000\"\r\n"), std::string::npos);
    EXPECT_NE(readFile("connectn.cfg").find("MAIN_URL \"10.0.0.2:7000\""), std::string::npos);
    ASSERT_TRUE(spinUntil([&] { return dlg->readyToPlay() && !dlg->hasClient(); }));
    EXPECT_EQ(m_clients[2].realmName, "Second");

    // The file name from the server is shown as text, not as markup.
    EXPECT_TRUE(dlg->onBeforeNavigate("launcher://language/1"));
    ASSERT_TRUE(
        spinUntil([&] { return m_web.requested("/zelvan1/index.php/index1.html") && dlg->webViewShown(); }));
    EXPECT_NE(readFile("config.cfg").find("LANG 1\r\n"), std::string::npos);
    EXPECT_EQ(gtk_window_get_title(gtkWindow(*dlg)), std::string("Запуск Zelvan"));
    EXPECT_NE(element(*dlg, "play_button_bg").find("play_1_"), std::string::npos);
    EXPECT_NE(dlg->localView().currentUrl().find("launcher_resources/launcher1.html"), std::string::npos);
}

TEST_F(WindowCommandsTest, LinksFromThePage)
{
    auto dlg = readyDialog();
    // Upper-case scheme: cancelled, nothing runs.
    EXPECT_TRUE(dlg->onBeforeNavigate("LAUNCHER://play"));
    EXPECT_TRUE(m_launches.empty());
    EXPECT_TRUE(dlg->readyToPlay());
    // A normal link navigates inside the view.
    EXPECT_FALSE(dlg->onBeforeNavigate("http://127.0.0.1/other.html"));
    gtkView(dlg->webView())
        .runScript("window.location.href='http://127.0.0.1:" + std::to_string(m_web.port()) +
                   "/other.html';");
    ASSERT_TRUE(spinUntil([&] { return m_web.requested("/other.html"); }));
    ASSERT_TRUE(
        spinUntil([&] { return elementHtml(dlg->webView(), "other").value_or("") == "another page"; }));
    // A launcher link clicked in the page is intercepted and runs: refresh reloads the page.
    size_t before = m_web.requests().size();
    gtkView(dlg->webView()).runScript("window.location.href='launcher://refresh';");
    ASSERT_TRUE(spinUntil(
        [&] { return m_web.requests().size() > before && m_web.requests().back() == "/zelvan1/index.php"; }));
    // Texts written into the page arrive unchanged, whatever they hold.
    ASSERT_TRUE(spinUntil([&] { return elementHtml(dlg->webView(), "state").has_value(); }));
    const std::string hostile = "a\"b'c\\d</script><!-- \xE2\x80\xA8 line\nend";
    gtkView(dlg->webView())
        .runScript("document.getElementById('state').textContent=" + jsStringLiteral(hostile) + ";");
    EXPECT_EQ(elementHtml(dlg->webView(), "state").value_or(""),
              "a\"b'c\\d&lt;/script&gt;&lt;!-- \xE2\x80\xA8 line\nend");
}

TEST_F(WindowCommandsTest, PlayStartsTheGameAndEnds)
{
    fs::copy_file(fs::path(UPD_SOURCE_DIR) / "demo/ZelvanClient.exe", "ZelvanClient.exe");
    auto dlg = readyDialog();
    EXPECT_TRUE(dlg->onBeforeNavigate("launcher://play/"));
    ASSERT_EQ(m_launches.size(), 1u);
    EXPECT_EQ(m_launches[0].first, "ZelvanClient.exe -realm demo");
    EXPECT_EQ(m_children.size(), 1u);
    EXPECT_EQ(m_sleeps, std::vector<unsigned>{3000});
    EXPECT_EQ(m_exitCodes, std::vector<int>{0});
    EXPECT_TRUE(m_ui.boxes.empty());
    EXPECT_NE(readFile("connect.cfg").find("MAIN_URL \"10.0.0.1:7000\""), std::string::npos);
    EXPECT_TRUE(fs::exists("options.ini"));
    // The stub opens a window of the game's class; timer 3 sees it and ends the launcher.
    ASSERT_TRUE(spinUntil([&] { return m_exitCodes.size() >= 2; }, std::chrono::seconds(20)));
    EXPECT_EQ(m_exitCodes[1], 0);
}

TEST_F(WindowCommandsTest, MissingGameClientShowsErrorAndStillEnds)
{
    auto dlg = readyDialog();
    dlg->onBeforeNavigate("launcher://play");
    EXPECT_EQ(m_ui.boxes,
              std::vector<std::string>{"Error|Error starting client. Please refer to the developers."});
    EXPECT_EQ(m_sleeps, std::vector<unsigned>{3000});
    EXPECT_EQ(m_exitCodes, std::vector<int>{0});
    EXPECT_NE(readFile("options.ini").find("Language=0"), std::string::npos);
    ASSERT_TRUE(spinUntil(
        [&] { return element(*dlg, "state") == "Error starting client. Please refer to the developers."; }));
    EXPECT_NE(element(*dlg, "play_button_bg").find("reconnect"), std::string::npos);
}

TEST_F(WindowCommandsTest, SelfUpdateHandsOverToTheScript)
{
    prepareInstallation(1, m_web.url());
    auto dlg = makeDialog(scriptedHooks({{UPD_OK, "dir0029/TmpSelfupdate.sh"}}));
    ASSERT_TRUE(spinUntil([&] { return !m_exitCodes.empty(); }));
    ASSERT_EQ(m_launches.size(), 1u);
    EXPECT_EQ(m_launches[0].first, "dir0029/TmpSelfupdate.sh");
    EXPECT_EQ(m_launches[0].second, LaunchKind::Script);
    EXPECT_EQ(m_exitCodes, std::vector<int>{0});
    EXPECT_FALSE(dlg->hasClient());
    EXPECT_EQ(m_clientsAlive.load(), 0);
}

TEST_F(WindowCommandsTest, SelfUpdateWithoutScriptIsAnInternalError)
{
    prepareInstallation(1, m_web.url());
    auto dlg = makeDialog(scriptedHooks({{UPD_OK}}));
    ASSERT_TRUE(spinUntil([&] { return !m_ui.boxes.empty(); }));
    EXPECT_EQ(m_ui.boxes.front(), "Error|Internal application error. Please refer to the developers.");
    EXPECT_TRUE(m_exitCodes.empty());
}

TEST_F(WindowCommandsTest, ClosingDuringAnUpdateStopsTheClient)
{
    prepareInstallation(1, m_web.url());
    ScriptedClientPlan endless;
    endless.runUntilStopped = true;
    auto dlg = makeDialog(scriptedHooks({{UPD_SELF_UP_TO_DATE}, endless}));
    ASSERT_TRUE(spinUntil([&] { return dlg->activeJob() == 2; }));
    // The posted status shows the file name as text.
    ASSERT_TRUE(spinUntil(
        [&]
        {
            return element(*dlg, "state").find("x</b>") == std::string::npos &&
                   element(*dlg, "state").find("&lt;b&gt;x") != std::string::npos;
        }));
    // The progress tick: rate and time left, and the progress rule in the first style sheet.
    ASSERT_TRUE(spinUntil([&] { return element(*dlg, "download_rate").find("Transfer speed:") == 0; }));
    EXPECT_EQ(element(*dlg, "time_remaining").find("Time remaining:"), 0u);
    std::optional<std::string> rule;
    gtkView(dlg->webView())
        .evaluate("document.styleSheets[0].cssRules[0].cssText", [&](auto r) { rule = r.value_or("?"); });
    ASSERT_TRUE(spinUntil([&] { return rule.has_value(); }));
    EXPECT_EQ(*rule, "#progress { width: 50%; }");
    // The progress message of other programs: no seconds empties "state".
    dlg->onSetUpdateProgress(30, 0);
    ASSERT_TRUE(spinUntil([&] { return element(*dlg, "state").empty(); }));

    auto started = std::chrono::steady_clock::now();
    dlg->onCancel();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_TRUE(dlg->ended());
    EXPECT_FALSE(dlg->hasClient());
    EXPECT_EQ(m_clientsAlive.load(), 0);
    EXPECT_NE(readFile("options.ini").find("Language=0"), std::string::npos);
}

TEST_F(WindowTest, GameWindowProbeSurvivesWindowsThatVanish)
{
    GdkDisplay* gdk = gdk_display_get_default();
    ASSERT_NE(gdk, nullptr);
    Display* own = gdk_x11_display_get_xdisplay(gdk);
    Display* other = XOpenDisplay(DisplayString(own));
    ASSERT_NE(other, nullptr);
    // A window that is gone by the time the probe asks about it.
    Window gone = XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, 0, 0);
    XDestroyWindow(other, gone);
    Window game = XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, 0, 0);
    std::string name = "zelvan", windowClass = GAME_WINDOW_CLASS;
    XClassHint hint{name.data(), windowClass.data()};
    XSetClassHint(other, game, &hint);
    XSync(other, False);

    // GDK's own connection and one of our own: an error on either used to end the process.
    for (Display* d : {own, other})
    {
        EXPECT_FALSE(x11WindowOfClassExistsBelow(d, gone, GAME_WINDOW_CLASS));
        EXPECT_TRUE(x11WindowOfClassExists(d, GAME_WINDOW_CLASS));
    }
    gdk_display_sync(gdk);
    XDestroyWindow(other, game);
    XCloseDisplay(other);
    EXPECT_TRUE(spinUntil([&] { return !x11WindowOfClassExists(own, GAME_WINDOW_CLASS); }));
}

TEST_F(WindowCommandsTest, LimitRateOfGameIniReachesBothJobs)
{
    prepareInstallation(1, m_web.url());
    std::string ini = readFile("game.ini");
    ini.replace(ini.find("[Launcher]\n"), 11, "[Launcher]\nLimitRate=1.5M\n");
    std::ofstream("game.ini", std::ios::trunc) << ini;
    auto dlg = makeDialog(scriptedHooks({{UPD_SELF_UP_TO_DATE}, {UPD_OK}}));
    ASSERT_TRUE(spinUntil([&] { return dlg->readyToPlay() && !dlg->hasClient(); }));
    ASSERT_EQ(m_clients.size(), 2u);
    EXPECT_EQ(m_clients[0].job, JOB_SELF_UPDATE);
    EXPECT_EQ(m_clients[0].rateLimit, 1572864u);
    EXPECT_EQ(m_clients[1].job, JOB_UPDATE);
    EXPECT_EQ(m_clients[1].rateLimit, 1572864u);
}

TEST_F(WindowCommandsTest, MissingLocalPageStillLoadsTheWebPageAndUpdates)
{
    prepareInstallation(1, m_web.url());
    fs::remove_all("launcher_resources");
    auto dlg = makeDialog(scriptedHooks({{UPD_SELF_UP_TO_DATE}, {UPD_OK}}));
    ASSERT_TRUE(spinUntil([&] { return dlg->webViewShown(); }));
    EXPECT_TRUE(m_web.requested("/zelvan1/index.php"));
    ASSERT_TRUE(spinUntil([&] { return dlg->readyToPlay() && !dlg->hasClient(); }));
    EXPECT_TRUE(m_ui.boxes.empty());
}
