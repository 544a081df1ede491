// The Win32 backend of the launcher window: a borderless top-level window
// with the strip and the close button (id 1050), two WebBrowser views (ids
// 1000 and 1001, CWebBrowserHost), timers, and the registered messages
// WM_SET_UPDATE_STATUS and WM_SET_UPDATE_PROGRESS.
#pragma once

#include "launcher/window/WindowBackend.h"

#include <windows.h>

#include <map>
#include <memory>
#include <vector>

class CWebBrowserHost;

class CWin32Window : public IWindowBackend
{
public:
    CWin32Window();
    ~CWin32Window() override;
    CWin32Window(const CWin32Window&) = delete;
    CWin32Window& operator=(const CWin32Window&) = delete;

    void create(IWindowEvents& events, int width, int height, int viewTop) override;
    IPageView& view(ViewId id) override;
    void showViews(bool local, bool web) override;
    void setTitle(const std::string& title) override;
    void setBackground(int languagePosition) override;
    void show() override;
    void hide() override;
    void runLoop() override;
    void quitLoop() override;
    void startTimer(int id, unsigned periodMs) override;
    void stopTimer(int id) override;
    void postTask(std::function<void()> fn, unsigned delayMs) override;
    std::function<void(int event)> statusPoster() override;
    void showMessageBox(const std::string& caption, const std::string& text) override;
    void showDirectXWarning(const std::string& caption, const std::string& text) override;
    bool windowOfClassExists(const std::string& windowClass) override;
    bool saveScreenshot(const std::string& path) override;

    HWND window() const { return m_window; }
    CWebBrowserHost& host(ViewId id);
    // Gives one message to the window's keys and the active view; true when used.
    bool preTranslate(MSG* msg);

    static constexpr int CLOSE_BUTTON_ID = 1050;
    // Ids of one-shot task timers start here, above the window's own timers.
    static constexpr UINT_PTR TASK_TIMER_BASE = 0x1000;
    // WM_COPYDATA tag of a link sent by a test driver (only with ZELVAN_TEST_NAVIGATE set).
    static constexpr ULONG_PTR TEST_NAVIGATE_DATA = 0x5A4C4E56;
    static constexpr DWORD TEST_NAVIGATE_MAX = 1024;

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void paint();
    void afterNavigation();
    bool testNavigate(const COPYDATASTRUCT& data);

    IWindowEvents* m_events = nullptr;
    HWND m_window = nullptr;
    HWND m_closeButton = nullptr;
    std::unique_ptr<CWebBrowserHost> m_webView;
    std::unique_ptr<CWebBrowserHost> m_localView;
    int m_width = 0;
    int m_height = 0;
    int m_viewTop = 0;
    int m_languagePosition = 0;
    bool m_painted = false;
    bool m_quit = false;
    std::map<UINT_PTR, std::function<void()>> m_tasks;
    UINT_PTR m_nextTask = TASK_TIMER_BASE;
    std::vector<std::string> m_testNavigations;
    bool m_testDriven = false;
};

// The registered window messages, registered by name once per process.
UINT setUpdateStatusMessage();
UINT setUpdateProgressMessage();
