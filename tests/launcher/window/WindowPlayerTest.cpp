// The player's window when things go wrong: a page that cannot load, a disk
// short of space, automatic tries after network failures, repair, and Escape
// during an update.
#include "WindowTestSupport.h"

#include "launcher/PageOps.h"
#include "launcher/WebBrowser2.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

namespace
{

// Takes connections and reads the requests, but answers only once released:
// the demo page, or 404 for anything else.
class LateServer
{
public:
    LateServer()
    {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_fd, 8);
        socklen_t len = sizeof a;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~LateServer()
    {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/zelvan1/index.php"; }
    void release() { m_released = true; }

private:
    void serve()
    {
        std::vector<int> waiting;
        while (!m_stop)
        {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0)
            {
                int c = accept(m_fd, nullptr, nullptr);
                if (c >= 0)
                    waiting.push_back(c);
            }
            if (!m_released)
                continue;
            for (int c : waiting)
            {
                // A connection may be opened ahead of its request: wait for the request.
                std::string request;
                char buf[4096];
                while (request.find("\r\n\r\n") == std::string::npos)
                {
                    pollfd q{c, POLLIN, 0};
                    if (poll(&q, 1, 2000) <= 0)
                        break;
                    ssize_t n = recv(c, buf, sizeof buf, 0);
                    if (n <= 0)
                        break;
                    request.append(buf, static_cast<size_t>(n));
                }
                std::ifstream in(fs::path(UPD_SOURCE_DIR) / "demo/web/index.php", std::ios::binary);
                std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                bool page = request.rfind("GET /zelvan1/index.php ", 0) == 0;
                std::string all = std::string(page ? "HTTP/1.0 200 OK" : "HTTP/1.0 404 Not Found") +
                                  "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                                  std::to_string(page ? body.size() : 0) + "\r\nConnection: close\r\n\r\n" +
                                  (page ? body : std::string());
                send(c, all.data(), all.size(), MSG_NOSIGNAL);
                close(c);
            }
            waiting.clear();
        }
        for (int c : waiting)
            close(c);
    }

    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_released{false};
    std::thread m_thread;
};

std::string local(CUpdaterDlg& dlg, const std::string& id)
{
    return elementHtml(dlg.localView(), id).value_or("<none>");
}

std::string firstRule(IPageView& view)
{
    std::optional<std::string> rule;
    gtkView(view).evaluate("document.styleSheets[0].cssRules[0].cssText",
                           [&](auto r) { rule = r.value_or("?"); });
    spinUntil([&] { return rule.has_value(); });
    return rule.value_or("<none>");
}

int freePort()
{
    WebPageServer probe;
    return probe.port();
}

} // namespace

using WindowPlayerTest = WindowTest;

TEST_F(WindowPlayerTest, PageThatCannotLoadShowsStatusProgressAndPlayAtOnce)
{
    // Refused at once: the local page takes over with the message box, and the
    // update runs under it.
    int port = freePort();
    prepareInstallation(1, "http://127.0.0.1:" + std::to_string(port) + "/zelvan1/index.php");
    fs::create_directories("docs");
    std::ofstream("docs/changes.txt") << "Season 2 <beta>\r\nNew maps.\n";
    auto dlg = makeDialog(scriptedHooks({{UPD_SELF_UP_TO_DATE}, {UPD_OK}}));
    ASSERT_TRUE(spinUntil([&] { return !m_ui.boxes.empty(); }));
    EXPECT_EQ(m_ui.boxes.front(), "Error|No connection.");
    EXPECT_TRUE(dlg->pageFallback());
    EXPECT_TRUE(dlg->localViewShown());
    ASSERT_TRUE(spinUntil([&] { return dlg->readyToPlay(); }));
    ASSERT_TRUE(spinUntil([&] { return local(*dlg, "state") == "Ready to work"; }, std::chrono::seconds(5)))
        << dlg->localView().currentUrl().substr(0, 60) << " " << local(*dlg, "state") << " "
        << dlg->pageFallback();
    EXPECT_NE(local(*dlg, "play_button_bg").find("launcher://play"), std::string::npos);
    EXPECT_NE(local(*dlg, "refresh_bg").find("launcher://refresh"), std::string::npos);
    EXPECT_NE(local(*dlg, "progress_bg").find("width: 100%"), std::string::npos);
    // The notes come as text: no markup of theirs reaches the page.
    EXPECT_EQ(local(*dlg, "release"), "Installed release: Season 2 &lt;beta&gt;");
    EXPECT_EQ(local(*dlg, "release_notes"), "Season 2 &lt;beta&gt;<br>New maps.<br>");
    EXPECT_EQ(m_ui.boxes.size(), 1u);
}

TEST_F(WindowPlayerTest, LateWebPageMeetsTheDeadlineThenReplacesTheLocalPage)
{
    LateServer late;
    prepareInstallation(1, late.url());
    CUpdaterDlg::Hooks hooks = scriptedHooks({{UPD_SELF_UP_TO_DATE}, {UPD_OK}});
    hooks.pageDeadlineMs = 300;
    auto dlg = makeDialog(std::move(hooks));
    ASSERT_TRUE(spinUntil([&] { return dlg->pageFallback(); }, std::chrono::seconds(10)));
    EXPECT_TRUE(dlg->localViewShown());
    EXPECT_FALSE(dlg->webViewShown());
    // Late is not failed: no message box, and the update starts.
    EXPECT_TRUE(m_ui.boxes.empty());
    ASSERT_TRUE(spinUntil([&] { return dlg->readyToPlay(); }));
    ASSERT_TRUE(spinUntil(
        [&] { return local(*dlg, "play_button_bg").find("launcher://play") != std::string::npos; }));
    // A page that does come replaces the local one and shows the same state.
    late.release();
    ASSERT_TRUE(spinUntil([&] { return dlg->webViewShown(); }));
    EXPECT_FALSE(dlg->pageFallback());
    EXPECT_EQ(element(*dlg, "state"), "Ready to work");
}

TEST_F(WindowPlayerTest, DiskShortOfSpaceNamesTheSpaceTheFolderAndTheLog)
{
    WebPageServer web;
    prepareInstallation(1, web.url());
    UpdJobInfo info{};
    info.failure = UPD_FAILURE_NO_SPACE;
    info.bytesTotal = 3u << 20;
    info.spaceNeeded = 3u << 20;
    info.spaceFree = 512u << 10;
    std::strcpy(info.path, ".");
    std::strcpy(info.logFile, "host_261211.log");
    ScriptedClientPlan shortOfSpace(UPD_WRITE_ERROR);
    shortOfSpace.info = info;
    auto dlg = makeDialog(scriptedHooks({{UPD_SELF_UP_TO_DATE}, shortOfSpace}));
    ASSERT_TRUE(spinUntil([&] { return !m_ui.boxes.empty(); }));
    const std::string here = fs::current_path().string();
    EXPECT_EQ(m_ui.boxes.front(),
              "Error|Error writing data to disk. Check access rights and the availability of free space. For "
              "Windows Vista users: check that User Account Control (UAC) is switched off.\n\n"
              "Not enough disk space for the update: 3.0 MB needed, 512.0 kB free in \"" +
                  here + "\". Free some space, then press Reconnect.\n\nDetails are in the log file \"" +
                  here + "/host_261211.log\".");
    ASSERT_TRUE(spinUntil([&] { return element(*dlg, "state").find("3.0 MB needed") != std::string::npos; }));
    EXPECT_NE(element(*dlg, "play_button_bg").find("launcher://reconnect"), std::string::npos);
    // The bar stays where the job stopped: a full bar means done.
    EXPECT_EQ(firstRule(dlg->webView()), "#progress { width: 50%; }");

    // A read-only file is told apart from a full disk.
    m_ui.boxes.clear();
    info.failure = UPD_FAILURE_READ_ONLY;
    std::strcpy(info.path, "./data/maps/town.map");
    ScriptedClientPlan readOnly(UPD_WRITE_ERROR);
    readOnly.info = info;
    CUpdaterDlg::Hooks again = scriptedHooks({{UPD_SELF_UP_TO_DATE}, readOnly});
    dlg.reset();
    dlg = makeDialog(std::move(again));
    dlg->commandReconnect();
    ASSERT_TRUE(spinUntil([&] { return !m_ui.boxes.empty(); }));
    EXPECT_NE(m_ui.boxes.front().find(
                  "\"" + here + "/data/maps/town.map\" cannot be written: the file or folder is read-only"),
              std::string::npos)
        << m_ui.boxes.front();
    EXPECT_EQ(m_ui.boxes.front().find("disk space for the update"), std::string::npos);
}

TEST_F(WindowPlayerTest, NetworkFailuresAreTriedAgainWithACountdown)
{
    WebPageServer web;
    prepareInstallation(1, web.url());
    m_retryDelays = {1500, 300, 300};
    auto dlg = makeDialog(
        scriptedHooks({{UPD_CONNECT_FAILED}, {UPD_NETWORK_ERROR}, {UPD_SELF_UP_TO_DATE}, {UPD_OK}}));
    ASSERT_TRUE(spinUntil(
        [&]
        { return element(*dlg, "state") == "Connection failed. Trying again in 2 s (attempt 1 of 3)."; }));
    EXPECT_TRUE(dlg->retryPending());
    ASSERT_TRUE(spinUntil(
        [&]
        { return element(*dlg, "state") == "Connection failed. Trying again in 1 s (attempt 1 of 3)."; }));
    ASSERT_TRUE(spinUntil([&] { return dlg->readyToPlay(); }));
    EXPECT_EQ(m_clients.size(), 4u);
    EXPECT_TRUE(m_ui.boxes.empty());

    // When every try fails, the error and the reconnect button come, once.
    m_ui.boxes.clear();
    m_clients.clear();
    m_retryDelays = {50, 50, 50};
    dlg.reset();
    dlg = makeDialog(scriptedHooks(
        {{UPD_CONNECT_FAILED}, {UPD_CONNECT_FAILED}, {UPD_CONNECT_FAILED}, {UPD_CONNECT_FAILED}, {UPD_OK}}));
    dlg->commandReconnect();
    ASSERT_TRUE(spinUntil([&] { return !m_ui.boxes.empty(); }));
    EXPECT_EQ(m_ui.boxes, std::vector<std::string>{"Error|Error connecting to the server."});
    EXPECT_EQ(m_clients.size(), 4u);
    ASSERT_TRUE(spinUntil([&] { return element(*dlg, "state") == "Error connecting to the server."; }));
    EXPECT_NE(element(*dlg, "play_button_bg").find("launcher://reconnect"), std::string::npos);
    EXPECT_FALSE(dlg->retryPending());
}

TEST_F(WindowPlayerTest, RepairChecksEveryFileAndReportsTheBytes)
{
    WebPageServer web;
    prepareInstallation(1, web.url());
    UpdJobInfo info{};
    info.bytesTotal = 4u << 20;
    ScriptedClientPlan endless;
    endless.runUntilStopped = true;
    endless.info = info;
    auto dlg = makeDialog(scriptedHooks({{UPD_SELF_UP_TO_DATE}, {UPD_OK}, {UPD_SELF_UP_TO_DATE}, endless}));
    ASSERT_TRUE(spinUntil([&] { return dlg->readyToPlay(); }));
    EXPECT_FALSE(m_clients[1].fullCheck);
    // The demo page's link: ready or not, the check and a full update follow.
    ASSERT_NE(element(*dlg, "repair"), "<none>");
    EXPECT_TRUE(dlg->onBeforeNavigate("launcher://repair"));
    ASSERT_TRUE(spinUntil([&] { return m_clients.size() == 4 && dlg->activeJob() == 2; }));
    EXPECT_TRUE(m_clients[3].fullCheck);
    EXPECT_FALSE(dlg->readyToPlay());
    // Bytes done and total beside the rate (the scripted client is halfway).
    ASSERT_TRUE(spinUntil([&] { return element(*dlg, "download_bytes") == "Downloaded: 2.0 MB / 4.0 MB"; }));
    EXPECT_TRUE(m_exitCodes.empty());
}

TEST_F(WindowPlayerTest, EscapeDuringAnUpdateStopsTheClientAndCloses)
{
    // Escape is the window's cancel command, as the close button: it ends
    // the launcher, and a running update is stopped first, never left behind.
    WebPageServer web;
    prepareInstallation(1, web.url());
    ScriptedClientPlan endless;
    endless.runUntilStopped = true;
    auto dlg = makeDialog(scriptedHooks({{UPD_SELF_UP_TO_DATE}, endless}));
    ASSERT_TRUE(spinUntil([&] { return dlg->activeJob() == 2; }));
    GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
    key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(gtkWindow(*dlg)))));
    key->key.keyval = GDK_KEY_Escape;
    gboolean handled = FALSE;
    g_signal_emit_by_name(gtkWindow(*dlg), "key-press-event", key, &handled);
    gdk_event_free(key);
    EXPECT_TRUE(handled);
    EXPECT_TRUE(dlg->ended());
    EXPECT_FALSE(dlg->hasClient());
    EXPECT_EQ(m_clientsAlive.load(), 0);
}

TEST_F(WindowPlayerTest, MissingLocalPageAndNoWebPageStillShowTheStatus)
{
    // The local page gone (an update without an ignore list took it) and no
    // web page: the launcher's own page stands in, never a blank view.
    int port = freePort();
    prepareInstallation(1, "http://127.0.0.1:" + std::to_string(port) + "/zelvan1/index.php");
    fs::remove_all("launcher_resources");
    auto dlg = makeDialog(scriptedHooks({{UPD_SELF_UP_TO_DATE}, {UPD_OK}}));
    ASSERT_TRUE(spinUntil([&] { return dlg->readyToPlay() && !m_ui.boxes.empty(); }));
    EXPECT_TRUE(dlg->localViewShown());
    ASSERT_TRUE(spinUntil([&] { return local(*dlg, "state") == "Ready to work"; }, std::chrono::seconds(5)))
        << dlg->localView().currentUrl().substr(0, 60) << " " << local(*dlg, "state") << " "
        << dlg->pageFallback();
    EXPECT_NE(local(*dlg, "play_button_bg").find("launcher://play"), std::string::npos);
    EXPECT_NE(local(*dlg, "refresh_bg").find("launcher://refresh"), std::string::npos);
    EXPECT_TRUE(isStandInPageUrl(dlg->localView().currentUrl()));
}
