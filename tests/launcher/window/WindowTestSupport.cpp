#include "WindowTestSupport.h"

#include "launcher/PageOps.h"
#include "launcher/WebBrowser2.h"
#include "launcher/window/WindowGtk.h"

#include <arpa/inet.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

namespace
{

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

WebPageServer::WebPageServer()
{
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(m_listen, 16);
    socklen_t len = sizeof a;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { serve(); });
}

WebPageServer::~WebPageServer()
{
    m_stop = true;
    m_thread.join();
    close(m_listen);
}

std::vector<std::string> WebPageServer::requests()
{
    std::lock_guard<std::mutex> g(m_lock);
    return m_requests;
}

bool WebPageServer::requested(const std::string& path)
{
    for (const std::string& r : requests())
        if (r == path)
            return true;
    return false;
}

void WebPageServer::serve()
{
    const fs::path demo = fs::path(UPD_SOURCE_DIR) / "demo";
    while (!m_stop)
    {
        pollfd p{m_listen, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int c = accept(m_listen, nullptr, nullptr);
        if (c < 0)
            continue;
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
        std::string path;
        std::istringstream(request) >> path >> path;
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_requests.push_back(path);
        }
        std::string body, type = "text/html; charset=utf-8";
        int code = 200;
        std::string name = path.substr(path.rfind('/') + 1);
        if (path == "/zelvan1/index.php")
            body = slurp(demo / "web/index.php");
        else if (path == "/zelvan1/index.php/index1.html")
            body = slurp(demo / "web/index1.html");
        else if (path.find("/art/") != std::string::npos &&
                 fs::exists(demo / "launcher_resources/art" / name))
        {
            body = slurp(demo / "launcher_resources/art" / name);
            type = "image/png";
        }
        else if (path == "/other.html")
            body = "<html><body><p id=\"other\">another page</p></body></html>";
        else if (path == "/broken.php")
        {
            code = 500;
            body = "<html><body>Internal Server Error</body></html>";
        }
        else
        {
            code = 404;
            body = "<html><body>Not Found</body></html>";
        }
        const char* reason = code == 200 ? " OK" : code == 404 ? " Not Found" : " Internal Server Error";
        std::string head = "HTTP/1.0 " + std::to_string(code) + reason + "\r\nContent-Type: " + type +
                           "\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\nConnection: close\r\n\r\n";
        std::string all = head + body;
        size_t sent = 0;
        while (sent < all.size())
        {
            ssize_t n = send(c, all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        close(c);
    }
}

bool UpdateServerProcess::available()
{
    return access((fs::path(UPD_BINARY_DIR) / "tools/updserver").c_str(), X_OK) == 0;
}

UpdateServerProcess::UpdateServerProcess(const std::string& root, const std::string& selfUpdate,
                                         const std::string& ignoreFile)
{
    std::string exe = (fs::path(UPD_BINARY_DIR) / "tools/updserver").string();
    fs::path portFile = fs::temp_directory_path() / ("updserver-port-" + std::to_string(getpid()) + "-" +
                                                     std::to_string(reinterpret_cast<uintptr_t>(this)));
    fs::remove(portFile);
    std::vector<std::string> args = {
        exe,      "--root", root,          "--self-update",   selfUpdate,  "--ignore",  ignoreFile,
        "--port", "0",      "--port-file", portFile.string(), "--log-dir", root + "/.."};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return;
    m_pid = pid;
    waitFor([&] { return fs::exists(portFile) && fs::file_size(portFile) > 0; }, std::chrono::seconds(20));
    std::ifstream(portFile) >> m_port;
    fs::remove(portFile);
}

UpdateServerProcess::~UpdateServerProcess()
{
    if (m_pid > 0)
    {
        kill(m_pid, SIGTERM);
        int status;
        waitpid(m_pid, &status, 0);
    }
}

ScriptedClient::~ScriptedClient()
{
    m_stopRequested = true;
    if (m_worker.joinable())
        m_worker.join();
    --m_alive;
}

int ScriptedClient::start()
{
    m_worker = std::thread(
        [this]
        {
            if (m_callback)
            {
                m_callback->onUpdateEvent(UPD_EVENT_SCANNING, nullptr, 0);
                m_callback->onUpdateEvent(UPD_EVENT_CONNECTING, nullptr, 0);
                m_callback->onUpdateEvent(UPD_EVENT_FILE_REQUEST, "data/<b>x</b>.dat", 0);
                m_callback->onUpdateEvent(UPD_EVENT_TRAFFIC, nullptr, 2048);
                m_callback->onUpdateEvent(UPD_EVENT_PROGRESS, nullptr, 0.5f);
            }
            if (m_plan.runUntilStopped)
            {
                while (!m_stopRequested)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                m_status = UPD_INTERNAL_ERROR;
            }
            else
                m_status = m_plan.status;
            m_done = true;
        });
    return 1;
}

bool ScriptedClient::wait(double seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!m_done && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (m_done && m_worker.joinable())
        m_worker.join();
    return m_done;
}

bool spinUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline)
{
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        g_main_context_iteration(nullptr, FALSE);
        // Nothing pending: wait for the next source rather than spinning hot.
        if (!g_main_context_pending(nullptr))
            g_usleep(1000);
    }
    return true;
}

CWebBrowser2& gtkView(IPageView& view)
{
    return dynamic_cast<CWebBrowser2&>(view);
}

GtkWindow* gtkWindow(CUpdaterDlg& dlg)
{
    return dynamic_cast<CGtkWindow&>(dlg.backend()).window();
}

std::optional<std::string> elementHtml(IPageView& view, const std::string& id)
{
    bool done = false;
    std::optional<std::string> result;
    gtkView(view).evaluate(scriptGetElementHtml(id),
                           [&](std::optional<std::string> r)
                           {
                               result = std::move(r);
                               done = true;
                           });
    spinUntil([&] { return done; }, std::chrono::seconds(10));
    return result;
}

#if defined(__SANITIZE_ADDRESS__)
#define WINDOW_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WINDOW_UNDER_ASAN 1
#endif
#endif

void WindowTest::SetUp()
{
#if defined(WINDOW_UNDER_ASAN)
    GTEST_SKIP() << "WebKitGTK does not run under AddressSanitizer";
#endif
    static bool gtkReady = gtk_init_check(nullptr, nullptr);
    if (!gtkReady)
        GTEST_SKIP() << "no X display";
    // No Wine prefix: the DirectX check has nothing to look at.
    setenv("WINEPREFIX", "/nonexistent-wine-prefix", 1);
    m_sandbox = std::make_unique<Sandbox>();
    CUpdaterDlg::setAutoStartPending(true);
}

void WindowTest::TearDown()
{
    for (int pid : m_children)
    {
        kill(pid, SIGTERM);
        int status;
        waitpid(pid, &status, 0);
    }
    m_sandbox.reset();
}

void WindowTest::prepareInstallation(int updatePort, const std::string& webUrl)
{
    const fs::path demo = fs::path(UPD_SOURCE_DIR) / "demo";
    std::ofstream("game.ini")
        << "[Launcher]\nWebURL=" << webUrl
        << "\nClientArgs=-realm demo\n\n[Languages]\n0=0/english.lng\n1=1/russian.lng\n\n"
           "[Main]\nName=Main realm\nAddress=10.0.0.1:7000\nUpdateURL=127.0.0.1\nPort="
        << updatePort
        << "\nChatServer=10.0.0.1:7001\n\n[Second]\nName=Second realm\nAddress=10.0.0.2:7000\n"
           "UpdateURL=127.0.0.1\nPort="
        << updatePort << "\nChatServer=10.0.0.2:7001\n";
    fs::copy(demo / "launcher_resources", "launcher_resources", fs::copy_options::recursive);
    fs::copy_file(demo / "english.lng", "english.lng");
    fs::copy_file(demo / "russian.lng", "russian.lng");
    std::ofstream("connect.cfg") << "MAIN_URL \"10.0.0.1:7000\"\r\nLAST_URL \"x\"\r\nCHAT_SRV \"y\"\r\n";
    std::ofstream("connectn.cfg") << "MAIN_URL \"10.0.0.1:7000\"\r\n";
    std::ofstream("config.cfg") << "LANG 0\r\nSOUND 1\r\n";
}

std::unique_ptr<CUpdaterDlg> WindowTest::makeDialog(CUpdaterDlg::Hooks hooks)
{
    if (!hooks.terminateProcess)
        hooks.terminateProcess = [this](int code) { m_exitCodes.push_back(code); };
    if (!hooks.sleepMs)
        hooks.sleepMs = [this](unsigned ms) { m_sleeps.push_back(ms); };
    if (!hooks.startProcess)
        hooks.startProcess = [this](const std::string& line, LaunchKind kind)
        {
            m_launches.emplace_back(line, kind);
            int pid = kind == LaunchKind::Game ? startDetached(line, kind) : 4242;
            if (kind == LaunchKind::Game && pid > 0)
                m_children.push_back(pid);
            return pid;
        };
    hooks.retryDelaysMs = m_retryDelays;
    auto dlg = std::make_unique<CUpdaterDlg>("", m_ui, std::move(hooks));
    dlg->create();
    return dlg;
}

CUpdaterDlg::Hooks WindowTest::scriptedHooks(std::vector<ScriptedClientPlan> plans)
{
    CUpdaterDlg::Hooks hooks;
    auto queue = std::make_shared<std::vector<ScriptedClientPlan>>(std::move(plans));
    hooks.createClient = [this, queue](const char*, unsigned, const char*) -> IUpdateClient*
    {
        ScriptedClientPlan plan;
        if (!queue->empty())
        {
            plan = queue->front();
            queue->erase(queue->begin());
        }
        m_clients.emplace_back();
        return new ScriptedClient(plan, m_clientsAlive, m_clients.back());
    };
    return hooks;
}

std::string WindowTest::readFile(const std::string& name)
{
    return slurp(name);
}

std::string WindowTest::element(CUpdaterDlg& dlg, const std::string& id)
{
    return elementHtml(dlg.webView(), id).value_or("<none>");
}
