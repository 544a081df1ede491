// The launcher window with the real WebKitGTK engine, real pages and the
// reference update server.
#include "WindowTestSupport.h"

#include "launcher/WebBrowser2.h"

#include <fstream>

namespace fs = std::filesystem;

namespace
{

// Server content with a nested file, an ignore list keeping the launcher's
// own files, and an empty self-update folder.
void makeServerContent(const fs::path& base)
{
    fs::create_directories(base / "content/Data/Maps");
    fs::create_directories(base / "self");
    std::ofstream(base / "content/Data/Maps/Town.map") << std::string(70000, 'm');
    std::ofstream(base / "content/readme.txt") << "hello\n";
    std::ofstream(base / "ignore.txt") << "game.ini\nenglish.lng\nrussian.lng\nconnect.cfg\nconnectn.cfg\n"
                                          "config.cfg\noptions.ini\nlauncher_resources/\n";
}

} // namespace

TEST_F(WindowTest, StartUpUpdatesAndShowsReady)
{
    if (!UpdateServerProcess::available())
        GTEST_SKIP() << "updserver is not built";
    fs::path serverBase =
        fs::path(m_sandbox->path()).parent_path() / (m_sandbox->path().filename().string() + "-server");
    makeServerContent(serverBase);
    UpdateServerProcess server((serverBase / "content").string(), (serverBase / "self").string(),
                               (serverBase / "ignore.txt").string());
    ASSERT_GT(server.port(), 0);
    WebPageServer web;
    prepareInstallation(server.port(), web.url());

    auto dlg = makeDialog();
    // Local page first, then the web page, which replaces it.
    ASSERT_TRUE(spinUntil([&] { return dlg->webViewShown(); }));
    EXPECT_TRUE(web.requested("/zelvan1/index.php"));
    EXPECT_FALSE(dlg->localViewShown());
    // The self-update check, then the update; then ready.
    ASSERT_TRUE(spinUntil([&] { return dlg->readyToPlay() && !dlg->hasClient(); }, std::chrono::seconds(60)))
        << (m_ui.boxes.empty() ? "" : m_ui.boxes.front());
    EXPECT_TRUE(m_ui.boxes.empty());
    EXPECT_EQ(element(*dlg, "state"), "Ready to work");
    EXPECT_NE(element(*dlg, "play_button_bg").find("launcher://play"), std::string::npos);
    EXPECT_NE(element(*dlg, "play_button_bg").find("play_0_enabled.png"), std::string::npos);
    EXPECT_NE(element(*dlg, "languages").find("launcher://language/1"), std::string::npos);
    EXPECT_NE(element(*dlg, "select_list_bg").find("<option selected=\"\">Main realm"), std::string::npos);
    EXPECT_EQ(fs::file_size("data/maps/town.map"), 70000u);
    EXPECT_TRUE(fs::exists("readme.txt"));
    EXPECT_TRUE(fs::exists("game.ini")); // kept by the ignore list
    EXPECT_NE(readFile("config.cfg").find("LANG 0\r\n"), std::string::npos);

    // A picture of the window for people to look at.
    bool painted = false;
    g_timeout_add(
        1000,
        [](gpointer p) -> gboolean
        {
            *static_cast<bool*>(p) = true;
            return G_SOURCE_REMOVE;
        },
        &painted);
    spinUntil([&] { return painted; });
    fs::path shot = fs::path(UPD_BINARY_DIR) / "tests/launcher-window-ready.png";
    EXPECT_TRUE(dlg->saveScreenshot(shot.string())) << shot;
    std::printf("screenshot: %s\n", shot.c_str());

    // Closing writes options.ini with the language position.
    dlg->onCancel();
    EXPECT_TRUE(dlg->ended());
    EXPECT_NE(readFile("options.ini").find("[Options]\r\nLanguage=0\r\n"), std::string::npos);
    dlg.reset();
    fs::remove_all(serverBase);
}

TEST_F(WindowTest, ServerDownShowsErrorAndReconnect)
{
    // A port that was just free: nothing listens there.
    WebPageServer web;
    int freePort = 0;
    {
        WebPageServer probe;
        freePort = probe.port();
    }
    prepareInstallation(freePort, web.url());
    auto dlg = makeDialog();
    ASSERT_TRUE(spinUntil([&] { return !m_ui.boxes.empty(); }, std::chrono::seconds(40)));
    // The box names the player's log file after the result text.
    EXPECT_EQ(
        m_ui.boxes.front().find("Error|Error connecting to the server.\n\nDetails are in the log file \""),
        0u)
        << m_ui.boxes.front();
    ASSERT_TRUE(spinUntil([&] { return element(*dlg, "state") == "Error connecting to the server."; }));
    EXPECT_NE(element(*dlg, "play_button_bg").find("launcher://reconnect"), std::string::npos);
    EXPECT_FALSE(dlg->hasClient());
    // A reload of the web page keeps the reconnect button.
    dlg->commandRefresh();
    ASSERT_TRUE(
        spinUntil([&] { return web.requests().size() >= 2 && element(*dlg, "state").find("Error") == 0; }));
    EXPECT_NE(element(*dlg, "play_button_bg").find("reconnect_0_enabled.png"), std::string::npos);
}

TEST_F(WindowTest, WebPageFailureKeepsLocalPageAndReportsNoConnection)
{
    int freePort = 0;
    {
        WebPageServer probe;
        freePort = probe.port();
    }
    prepareInstallation(freePort, "http://127.0.0.1:" + std::to_string(freePort) + "/zelvan1/index.php");
    auto dlg = makeDialog();
    ASSERT_TRUE(spinUntil([&] { return !m_ui.boxes.empty(); }));
    EXPECT_EQ(m_ui.boxes.front(), "Error|No connection.");
    EXPECT_TRUE(dlg->localViewShown());
    EXPECT_FALSE(dlg->webViewShown());
    // The update no longer waits for a page that may never load: the local
    // page shows its progress, the play button and, in its own place, the refresh link.
    EXPECT_TRUE(dlg->hasClient() || m_ui.boxes.size() > 1);
    EXPECT_NE(elementHtml(dlg->localView(), "refresh_bg").value_or("").find("launcher://refresh"),
              std::string::npos);
}

TEST_F(WindowTest, ErrorPagesOfTheWebServerCountAsNoConnection)
{
    WebPageServer web;
    for (const std::string path : {"/missing/index.php", "/broken.php"})
    {
        // A fresh installation folder for each case.
        m_sandbox.reset();
        m_sandbox = std::make_unique<Sandbox>();
        m_ui.boxes.clear();
        prepareInstallation(1, "http://127.0.0.1:" + std::to_string(web.port()) + path);
        auto dlg = makeDialog(scriptedHooks({{UPD_SELF_UP_TO_DATE}, {UPD_OK}}));
        ASSERT_TRUE(spinUntil([&] { return !m_ui.boxes.empty(); })) << path;
        EXPECT_EQ(m_ui.boxes.front(), "Error|No connection.");
        EXPECT_TRUE(web.requested(path));
        EXPECT_TRUE(dlg->localViewShown());
        EXPECT_FALSE(dlg->webViewShown());
        // The self-update check runs under the local page (the first in the process).
        EXPECT_TRUE(dlg->pageFallback());
        EXPECT_FALSE(m_clients.empty()) << path;
    }
}
