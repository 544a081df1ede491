#include "launcher/window/WindowWin32.h"

#include "launcher/DialogTestLog.h"
#include "launcher/window/DocumentPageOps.h"
#include "launcher/window/WebBrowserHostWin32.h"

#include <urlmon.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

void runDirectXWarningDialog(HWND owner, const std::string& caption, const std::string& text);

namespace
{

const wchar_t* const WINDOW_CLASS = L"ZelvanLauncherWindow";

std::wstring wide(const std::string& text)
{
    std::u16string u = utf8ToUtf16(text);
    return std::wstring(u.begin(), u.end());
}

ATOM registerWindowClass(WNDPROC proc)
{
    static ATOM atom = 0;
    if (atom)
        return atom;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = WINDOW_CLASS;
    atom = RegisterClassExW(&wc);
    return atom;
}

} // namespace

UINT setUpdateStatusMessage()
{
    static const UINT message = RegisterWindowMessageA("WM_SET_UPDATE_STATUS");
    return message;
}

UINT setUpdateProgressMessage()
{
    static const UINT message = RegisterWindowMessageA("WM_SET_UPDATE_PROGRESS");
    return message;
}

std::unique_ptr<IWindowBackend> createWindowBackend()
{
    return std::make_unique<CWin32Window>();
}

CWin32Window::CWin32Window() = default;

CWin32Window::~CWin32Window()
{
    m_tasks.clear();
    // The controls let go of their site before the window they live in goes.
    m_webView.reset();
    m_localView.reset();
    if (m_window)
    {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        DestroyWindow(m_window);
    }
}

CWebBrowserHost& CWin32Window::host(ViewId id)
{
    return id == ViewId::Web ? *m_webView : *m_localView;
}

IPageView& CWin32Window::view(ViewId id)
{
    return host(id);
}

void CWin32Window::create(IWindowEvents& events, int width, int height, int viewTop)
{
    m_events = &events;
    // The sizes are pixels at 96 dots per inch. The manifest declares the
    // process DPI aware, so the system does not stretch (and blur) the
    // window: it grows with the screen's setting here, and the views zoom
    // their pages to match (DOCHOSTUIFLAG_DPI_AWARE).
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen)
        ReleaseDC(nullptr, screen);
    auto scaled = [dpi](int pixels) { return dpi > 96 ? MulDiv(pixels, dpi, 96) : pixels; };
    width = scaled(width);
    height = scaled(height);
    viewTop = scaled(viewTop);
    m_width = width;
    m_height = height;
    m_viewTop = viewTop;
    // Clicks on links make no sound, in either view.
    CoInternetSetFeatureEnabled(FEATURE_DISABLE_NAVIGATION_SOUNDS, SET_FEATURE_ON_PROCESS, TRUE);
    setUpdateStatusMessage();
    setUpdateProgressMessage();
    registerWindowClass(windowProc);
    int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    m_window = CreateWindowExW(
        WS_EX_APPWINDOW, WINDOW_CLASS, L"", WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN,
        x < 0 ? 0 : x, y < 0 ? 0 : y, width, height, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    m_closeButton = CreateWindowExW(0, L"BUTTON", L"\u00D7", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | BS_FLAT,
                                    width - scaled(34), 0, scaled(30), viewTop, m_window,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(CLOSE_BUTTON_ID)),
                                    GetModuleHandleW(nullptr), nullptr);

    auto viewEvents = [this](ViewId id)
    {
        CWebBrowserHost::Events e;
        e.beforeNavigate = [this, id](const std::string& url) { return m_events->onBeforeNavigate(id, url); };
        e.documentComplete = [this, id]
        {
            m_events->onDocumentComplete(id);
            if (id == ViewId::Web)
                afterNavigation();
        };
        e.navigateError = [this, id](const std::string& url, long)
        {
            m_events->onNavigateError(id, url);
            if (id == ViewId::Web)
                afterNavigation();
        };
        return e;
    };
    m_webView = std::make_unique<CWebBrowserHost>(m_window, viewEvents(ViewId::Web));
    m_localView = std::make_unique<CWebBrowserHost>(m_window, viewEvents(ViewId::Local));
    m_webView->create();
    m_localView->create();
    showViews(false, false);

    // For tests on systems whose control cannot show pages: links the page
    // would send, navigated once the web view's first load has ended, and
    // later ones sent by a test driver (WM_COPYDATA) when the test needs them.
    if (const char* list = std::getenv("ZELVAN_TEST_NAVIGATE"))
    {
        m_testDriven = true;
        std::istringstream in(list);
        for (std::string url; in >> url;)
            m_testNavigations.push_back(url);
    }
}

void CWin32Window::afterNavigation()
{
    if (m_testNavigations.empty())
        return;
    std::vector<std::string> urls;
    urls.swap(m_testNavigations);
    postTask(
        [this, urls]
        {
            for (const std::string& url : urls)
                m_webView->navigate(url);
        },
        0);
}

// Only a launcher:// link, and only in a launcher a test started: no other
// program can make the window load a page.
bool CWin32Window::testNavigate(const COPYDATASTRUCT& data)
{
    if (!m_testDriven || data.dwData != TEST_NAVIGATE_DATA || !data.lpData || data.cbData == 0 ||
        data.cbData > TEST_NAVIGATE_MAX)
        return false;
    std::string url(static_cast<const char*>(data.lpData), data.cbData);
    url.resize(std::min(url.size(), url.find('\0')));
    if (url.rfind("launcher://", 0) != 0)
        return false;
    // The sender waits inside SendMessage: navigate after it has its answer.
    postTask([this, url] { m_webView->navigate(url); }, 0);
    return true;
}

void CWin32Window::showViews(bool local, bool web)
{
    RECT area{0, m_viewTop, m_width, m_height};
    RECT none{0, m_viewTop, 0, m_viewTop};
    m_localView->setRect(local ? area : none);
    m_webView->setRect(web ? area : none);
}

void CWin32Window::setTitle(const std::string& title)
{
    SetWindowTextW(m_window, wide(title).c_str());
}

void CWin32Window::setBackground(int languagePosition)
{
    m_languagePosition = languagePosition;
    InvalidateRect(m_window, nullptr, TRUE);
}

void CWin32Window::show()
{
    ShowWindow(m_window, SW_SHOW);
    UpdateWindow(m_window);
}

void CWin32Window::hide()
{
    if (m_window)
        ShowWindow(m_window, SW_HIDE);
}

bool CWin32Window::preTranslate(MSG* msg)
{
    if (msg->message < WM_KEYFIRST || msg->message > WM_KEYLAST || !m_window ||
        (msg->hwnd != m_window && !IsChild(m_window, msg->hwnd)))
        return false;
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE)
    {
        m_events->onCancel();
        return true;
    }
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN && m_events->onRunCommand())
        return true;
    return m_webView->translateAccelerator(msg) || m_localView->translateAccelerator(msg);
}

void CWin32Window::runLoop()
{
    MSG msg;
    while (!m_quit && GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        if (preTranslate(&msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void CWin32Window::quitLoop()
{
    m_quit = true;
    if (m_window)
        PostMessageW(m_window, WM_NULL, 0, 0);
}

void CWin32Window::startTimer(int id, unsigned periodMs)
{
    SetTimer(m_window, static_cast<UINT_PTR>(id), periodMs, nullptr);
}

void CWin32Window::stopTimer(int id)
{
    if (m_window)
        KillTimer(m_window, static_cast<UINT_PTR>(id));
}

void CWin32Window::postTask(std::function<void()> fn, unsigned delayMs)
{
    if (!m_window)
        return;
    UINT_PTR id = m_nextTask++;
    m_tasks[id] = std::move(fn);
    SetTimer(m_window, id, delayMs < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM : delayMs, nullptr);
}

// A window handle outlives nothing: posting to a window that is gone fails
// harmlessly, and the message carries no memory that could be lost.
std::function<void(int event)> CWin32Window::statusPoster()
{
    HWND window = m_window;
    UINT message = setUpdateStatusMessage();
    return [window, message](int event) { PostMessageW(window, message, static_cast<WPARAM>(event), 0); };
}

void CWin32Window::showMessageBox(const std::string& caption, const std::string& text)
{
    if (logDialogForTest(caption, text))
        return;
    MessageBoxW(m_window, wide(text).c_str(), wide(caption).c_str(), MB_OK | MB_ICONERROR);
}

void CWin32Window::showDirectXWarning(const std::string& caption, const std::string& text)
{
    runDirectXWarningDialog(m_window, caption, text);
}

bool CWin32Window::windowOfClassExists(const std::string& windowClass)
{
    return FindWindowA(windowClass.c_str(), nullptr) != nullptr;
}

// This backend has no picture encoder; screenshots are taken from outside.
bool CWin32Window::saveScreenshot(const std::string&)
{
    return false;
}

void CWin32Window::paint()
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_window, &ps);
    RECT strip{0, 0, m_width, m_viewTop};
    HBRUSH brush = CreateSolidBrush(m_languagePosition == 0 ? RGB(48, 32, 20) : RGB(24, 32, 48));
    FillRect(dc, &strip, brush);
    DeleteObject(brush);
    EndPaint(m_window, &ps);
    if (!m_painted)
    {
        m_painted = true;
        // The hook runs once the window has been painted, not inside the paint.
        postTask([this] { m_events->onFirstPaint(); }, 0);
    }
}

LRESULT CALLBACK CWin32Window::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
    {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        static_cast<CWin32Window*>(create->lpCreateParams)->m_window = window;
    }
    auto* self = reinterpret_cast<CWin32Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self || !self->m_events)
        return DefWindowProcW(window, message, wParam, lParam);
    return self->handle(message, wParam, lParam);
}

LRESULT CWin32Window::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == setUpdateStatusMessage())
    {
        m_events->onSetUpdateStatus(static_cast<int>(wParam));
        return 0;
    }
    if (message == setUpdateProgressMessage())
    {
        m_events->onSetUpdateProgress(static_cast<int>(wParam), static_cast<int>(lParam));
        return 0;
    }
    switch (message)
    {
    case WM_PAINT:
        paint();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_NCHITTEST:
    {
        // The window is dragged by any point of its own surface.
        LRESULT hit = DefWindowProcW(m_window, message, wParam, lParam);
        return hit == HTCLIENT ? HTCAPTION : hit;
    }
    case WM_TIMER:
        if (wParam >= TASK_TIMER_BASE)
        {
            KillTimer(m_window, wParam);
            auto it = m_tasks.find(wParam);
            if (it != m_tasks.end())
            {
                std::function<void()> fn = std::move(it->second);
                m_tasks.erase(it);
                fn();
            }
        }
        else
            m_events->onTimer(static_cast<int>(wParam));
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == CLOSE_BUTTON_ID || LOWORD(wParam) == IDCANCEL)
        {
            m_events->onCancel();
            return 0;
        }
        break;
    case WM_CLOSE:
        m_events->onCancel();
        return 0;
    case WM_COPYDATA:
        return testNavigate(*reinterpret_cast<const COPYDATASTRUCT*>(lParam)) ? TRUE : FALSE;
    default:
        break;
    }
    return DefWindowProcW(m_window, message, wParam, lParam);
}
