// The Win32 backend against the system's real WebBrowser control (under Wine
// in CI, where the control navigates but has no engine to show a page): our
// OLE host's activation, navigation events, cancel, resize and closing, and
// the launcher window whose pages cannot load.
#include "launcher/window/WindowWin32.h"
#include "launcher/AppSeams.h"
#include "launcher/DirectXCheck.h"
#include "launcher/UpdaterDlg.h"
#include "launcher/window/WebBrowserHostWin32.h"
#include "support/EnvironmentGuard.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <thread>

namespace
{

// Runs the window thread's messages until the condition holds or the deadline passes.
bool pumpUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(30))
{
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

struct RecordingEvents : IWindowEvents
{
    std::vector<std::pair<ViewId, std::string>> navigations, errors;
    std::vector<int> timers, statuses;
    int completes = 0, firstPaints = 0, cancels = 0, progress = -1;

    bool onBeforeNavigate(ViewId view, const std::string& url) override
    {
        navigations.emplace_back(view, url);
        return url.rfind("launcher://", 0) == 0;
    }
    void onDocumentComplete(ViewId) override { ++completes; }
    void onNavigateError(ViewId view, const std::string& url) override { errors.emplace_back(view, url); }
    void onTimer(int id) override { timers.push_back(id); }
    void onFirstPaint() override { ++firstPaints; }
    void onCancel() override { ++cancels; }
    bool onRunCommand() override { return false; }
    void onSetUpdateStatus(int event) override { statuses.push_back(event); }
    void onSetUpdateProgress(int percent, int) override { progress = percent; }
};

SIZE controlSize(CWin32Window& window, ViewId id)
{
    RECT r{};
    GetWindowRect(window.host(id).controlWindow(), &r);
    return {r.right - r.left, r.bottom - r.top};
}

class OleScope : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    void TearDown() override { OleUninitialize(); }
};

using Win32OleHost = OleScope;

TEST_F(Win32OleHost, ActivatesNavigatesCancelsResizesAndCloses)
{
    RecordingEvents events;
    CWin32Window window;
    window.create(events, 810, 638, 26);
    window.show();
    ASSERT_TRUE(window.host(ViewId::Web).active());
    ASSERT_TRUE(window.host(ViewId::Local).active());
    ASSERT_NE(window.host(ViewId::Web).controlWindow(), nullptr);
    EXPECT_TRUE(pumpUntil([&] { return events.firstPaints == 1; }));

    // A launcher:// link is seen and cancelled: no error, no document.
    window.view(ViewId::Web).navigate("launcher://reconnect/2");
    ASSERT_TRUE(pumpUntil([&] { return !events.navigations.empty(); }));
    EXPECT_EQ(events.navigations[0], std::make_pair(ViewId::Web, std::string("launcher://reconnect/2")));
    // A page nobody serves fails, and the failure names the view.
    window.view(ViewId::Local).navigate("http://127.0.0.1:1/zelvan1/index.php");
    ASSERT_TRUE(pumpUntil([&] { return !events.errors.empty(); }));
    EXPECT_EQ(events.errors[0].first, ViewId::Local);
    EXPECT_EQ(events.errors[0].second.find("launcher://"), std::string::npos);
    for (auto& e : events.errors)
        EXPECT_EQ(e.second.find("launcher://"), std::string::npos) << "a cancelled link failed";

    // One view at a time fills the area under the strip; the other has no size.
    window.showViews(false, true);
    EXPECT_EQ(controlSize(window, ViewId::Web).cx, 810);
    EXPECT_EQ(controlSize(window, ViewId::Web).cy, 638 - 26);
    EXPECT_EQ(controlSize(window, ViewId::Local).cx, 0);
    window.showViews(true, false);
    EXPECT_EQ(controlSize(window, ViewId::Local).cy, 638 - 26);
    EXPECT_EQ(controlSize(window, ViewId::Web).cy, 0);

    // The registered messages: from the worker's thread, and from another program.
    std::function<void(int)> post = window.statusPoster();
    std::thread([post] { post(6); }).join();
    PostMessageW(window.window(), RegisterWindowMessageA("WM_SET_UPDATE_PROGRESS"), 30, 0);
    EXPECT_TRUE(pumpUntil([&] { return events.statuses == std::vector<int>{6} && events.progress == 30; }));

    window.startTimer(2, 10);
    EXPECT_TRUE(pumpUntil([&] { return events.timers.size() >= 2; }));
    window.stopTimer(2);

    // The close button and a close request of the system both cancel.
    SendMessageW(GetDlgItem(window.window(), CWin32Window::CLOSE_BUTTON_ID), BM_CLICK, 0, 0);
    PostMessageW(window.window(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(pumpUntil([&] { return events.cancels == 2; }));
}

// A test driver's link (close_launcher --navigate): only a launcher started
// with ZELVAN_TEST_NAVIGATE takes one, and only a launcher:// link.
TEST_F(Win32OleHost, TakesDriverLinksOnlyWhenStartedForATest)
{
    auto send = [](HWND window, const std::string& url, ULONG_PTR tag = CWin32Window::TEST_NAVIGATE_DATA)
    {
        COPYDATASTRUCT data{tag, DWORD(url.size()), const_cast<char*>(url.data())};
        return SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    };
    EnvironmentGuard env({"ZELVAN_TEST_NAVIGATE"});
    {
        RecordingEvents events;
        CWin32Window window;
        window.create(events, 810, 638, 26);
        EXPECT_EQ(send(window.window(), "launcher://play"), FALSE);
    }
    env.set("ZELVAN_TEST_NAVIGATE", " ");
    RecordingEvents events;
    CWin32Window window;
    window.create(events, 810, 638, 26);
    EXPECT_EQ(send(window.window(), "http://127.0.0.1:1/elsewhere"), FALSE);
    EXPECT_EQ(send(window.window(), "launcher://play", 1), FALSE);
    EXPECT_EQ(send(window.window(), std::string(CWin32Window::TEST_NAVIGATE_MAX + 1, 'x')), FALSE);
    EXPECT_EQ(send(window.window(), "launcher://play/1"), TRUE);
    ASSERT_TRUE(pumpUntil([&] { return !events.navigations.empty(); }));
    EXPECT_EQ(events.navigations,
              (std::vector<std::pair<ViewId, std::string>>{{ViewId::Web, "launcher://play/1"}}));
}

// A client that ends with a chosen status, or works until it is stopped.
class ScriptedClient : public IUpdateClient
{
public:
    ScriptedClient(int status, bool endless, std::atomic<int>& alive, std::vector<int>& jobs)
        : m_status(status), m_endless(endless), m_alive(alive), m_jobs(jobs)
    {
        ++m_alive;
    }
    ~ScriptedClient() override
    {
        m_stop = true;
        if (m_worker.joinable())
            m_worker.join();
        --m_alive;
    }
    void release() override { delete this; }
    void setCallback(IUpdateCallback* cb) override { m_callback = cb; }
    void setCheckMode(int) override {}
    void setLogin(const char*, const char*) override {}
    void setCommand(const char*) override {}
    bool isCommandDone() override { return false; }
    int getEchoCount() override { return 0; }
    const char* getEcho(unsigned) override { return nullptr; }
    const char* findEcho(const char*) override { return nullptr; }
    const char* findEchoPrefix(const char*) override { return nullptr; }
    void setUpdateJob(const char*, const char*) override { m_jobs.push_back(2); }
    void setRecheckList(const char*) override {}
    void setFullCheck(bool) override {}
    void setUploadJob(const char*) override {}
    void setSelfUpdateJob(const char*) override { m_jobs.push_back(1); }
    const char* getSelfUpdateBatch() override { return nullptr; }
    int start() override
    {
        m_worker = std::thread(
            [this]
            {
                m_callback->onUpdateEvent(UPD_EVENT_CONNECTING, nullptr, 0);
                while (m_endless && !m_stop)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                m_done = true;
            });
        return 1;
    }
    bool wait(double seconds) override
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!m_done && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return m_done;
    }
    void stop() override { m_stop = true; }
    int getStatus() override { return m_endless ? UPD_INTERNAL_ERROR : m_status; }
    void addExclusions(const char*) override {}
    void setRateLimit(unsigned long long) override {}

private:
    int m_status;
    bool m_endless;
    std::atomic<int>& m_alive;
    std::vector<int>& m_jobs;
    IUpdateCallback* m_callback = nullptr;
    std::thread m_worker;
    std::atomic<bool> m_stop{false}, m_done{false};
};

struct RecordingUi : IMessageBoxUi
{
    std::vector<std::string> boxes;
    void showMessageBox(const std::string& caption, const std::string& text) override
    {
        boxes.push_back(caption + "|" + text);
    }
};

// No system folder: the DirectX check has nothing to look at and shows nothing.
struct NoDirectX : IDxProvider
{
    DxDiagInfo readDxDiag() override { return {}; }
    std::optional<std::string> getSystemDirectory() override { return std::nullopt; }
    bool getFileVersion(const std::string&, uint32_t&, uint32_t&) override { return false; }
};

class Win32Window : public OleScope
{
protected:
    void SetUp() override
    {
        OleScope::SetUp();
        CUpdaterDlg::setAutoStartPending(true);
        // Nobody serves this page: every load fails, as under an engine that cannot show it.
        std::ofstream("game.ini") << "[Launcher]\nWebURL=http://127.0.0.1:1/zelvan1/index.php\n\n"
                                     "[Main]\nName=Main realm\nUpdateURL=127.0.0.1\nPort=1\n";
    }
    std::unique_ptr<CUpdaterDlg> makeDialog(std::deque<std::pair<int, bool>> plans)
    {
        CUpdaterDlg::Hooks hooks;
        hooks.createClient = [this, plans](const char*, unsigned, const char*) mutable -> IUpdateClient*
        {
            auto plan = plans.empty() ? std::make_pair(int(UPD_OK), false) : plans.front();
            if (!plans.empty())
                plans.pop_front();
            return new ScriptedClient(plan.first, plan.second, m_alive, m_jobs);
        };
        hooks.terminateProcess = [this](int code) { m_exits.push_back(code); };
        hooks.sleepMs = [](unsigned) {};
        hooks.dxProvider = &m_noDx;
        auto dlg = std::make_unique<CUpdaterDlg>("", m_ui, std::move(hooks));
        dlg->create();
        return dlg;
    }
    Sandbox m_sandbox;
    NoDirectX m_noDx;
    RecordingUi m_ui;
    std::atomic<int> m_alive{0};
    std::vector<int> m_jobs, m_exits;
};

TEST_F(Win32Window, PageThatCannotLoadShowsTheLocalViewAndObeysCommands)
{
    auto dlg = makeDialog(
        {{UPD_SELF_UP_TO_DATE, false}, {UPD_OK, false}, {UPD_SELF_UP_TO_DATE, false}, {UPD_OK, false}});
    ASSERT_TRUE(pumpUntil([&] { return !m_ui.boxes.empty(); }));
    EXPECT_EQ(m_ui.boxes, std::vector<std::string>{"Error|No connection."});
    EXPECT_TRUE(dlg->localViewShown());
    EXPECT_FALSE(dlg->webViewShown());
    auto& window = dynamic_cast<CWin32Window&>(dlg->backend());
    EXPECT_EQ(controlSize(window, ViewId::Local).cx, CUpdaterDlg::WINDOW_WIDTH);
    // The update no longer waits for a page that loaded: it runs under the local page.
    ASSERT_TRUE(pumpUntil([&] { return dlg->readyToPlay() && !dlg->hasClient(); }));
    EXPECT_EQ(m_jobs, (std::vector<int>{1, 2}));

    // A link of the page, through the real control: cancelled and run.
    dlg->webView().navigate("launcher://changeServer/0");
    ASSERT_TRUE(pumpUntil([&] { return m_jobs.size() == 4 && dlg->readyToPlay() && !dlg->hasClient(); }));
    EXPECT_EQ(m_jobs, (std::vector<int>{1, 2, 1, 2}));
    EXPECT_EQ(m_ui.boxes.size(), 1u);
}

TEST_F(Win32Window, ClosingDuringAnUpdateStopsTheClient)
{
    auto dlg = makeDialog({{UPD_SELF_UP_TO_DATE, false}, {0, true}});
    ASSERT_TRUE(pumpUntil([&] { return !m_ui.boxes.empty(); }));
    dlg->webView().navigate("launcher://reconnect");
    ASSERT_TRUE(pumpUntil([&] { return dlg->activeJob() == CUpdaterDlg::JOB_UPDATE; }));
    // How fast the process ends is measured from outside, on Zelvan.exe (close_launcher).
    PostMessageW(dynamic_cast<CWin32Window&>(dlg->backend()).window(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(pumpUntil([&] { return dlg->ended(); }));
    EXPECT_FALSE(dlg->hasClient());
    EXPECT_EQ(m_alive.load(), 0);
    EXPECT_TRUE(std::filesystem::exists("options.ini"));
}

} // namespace
