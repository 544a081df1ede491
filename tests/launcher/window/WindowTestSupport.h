// Support for the launcher window tests: a loopback web page server, the
// reference update server as a child process, a scripted update client, and
// a fixture that prepares an installation folder and drives the GTK loop.
#pragma once

#include "launcher/AppSeams.h"
#include "launcher/UpdaterDlg.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Serves the demo web pages on 127.0.0.1 (port 0) and records the paths asked for.
class WebPageServer
{
public:
    WebPageServer();
    ~WebPageServer();
    int port() const { return m_port; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/zelvan1/index.php"; }
    std::vector<std::string> requests();
    bool requested(const std::string& path);

private:
    void serve();
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<std::string> m_requests;
};

// The reference update server on a port of its choosing; stopped when destroyed.
class UpdateServerProcess
{
public:
    static bool available();
    UpdateServerProcess(const std::string& root, const std::string& selfUpdate,
                        const std::string& ignoreFile);
    ~UpdateServerProcess();
    int port() const { return m_port; }

private:
    int m_pid = -1;
    int m_port = 0;
};

// A client that reports a few events, then ends with a chosen status; with
// runUntilStopped it works until asked to stop.
struct ScriptedClientPlan
{
    ScriptedClientPlan(int s = UPD_OK, std::string b = {}) : status(s), batch(std::move(b)) {}
    int status = UPD_OK;
    std::string batch;
    bool runUntilStopped = false;
    std::optional<UpdJobInfo> info; // what getJobInfo reports; none: the call fails
};

// What a scripted client was asked to do; outlives the client.
struct ClientRecord
{
    int job = JOB_NONE;
    std::string realmName;
    unsigned long long rateLimit = 0;
    bool fullCheck = false;
};

class ScriptedClient : public IUpdateClient
{
public:
    ScriptedClient(ScriptedClientPlan plan, std::atomic<int>& alive, ClientRecord& record)
        : m_plan(std::move(plan)), m_alive(alive), m_record(record)
    {
        ++m_alive;
    }
    ~ScriptedClient() override;
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
    void setUpdateJob(const char*, const char*) override { m_record.job = JOB_UPDATE; }
    void setRecheckList(const char*) override {}
    void setFullCheck(bool full) override { m_record.fullCheck = full; }
    void setUploadJob(const char*) override {}
    void setSelfUpdateJob(const char* realm) override
    {
        m_record.job = JOB_SELF_UPDATE;
        m_record.realmName = realm;
    }
    const char* getSelfUpdateBatch() override
    {
        return m_plan.batch.empty() ? nullptr : m_plan.batch.c_str();
    }
    int start() override;
    bool wait(double seconds) override;
    void stop() override { m_stopRequested = true; }
    int getStatus() override { return m_status; }
    void addExclusions(const char*) override {}
    void setRateLimit(unsigned long long bytesPerSecond) override { m_record.rateLimit = bytesPerSecond; }
    bool getJobInfo(UpdJobInfo* info) override
    {
        if (!m_plan.info)
            return false;
        *info = *m_plan.info;
        return true;
    }

    std::atomic<bool> m_stopRequested{false};

private:
    ScriptedClientPlan m_plan;
    std::atomic<int>& m_alive;
    ClientRecord& m_record;
    IUpdateCallback* m_callback = nullptr;
    std::thread m_worker;
    std::atomic<bool> m_done{false};
    std::atomic<int> m_status{UPD_INTERNAL_ERROR};
};

class RecordingUi : public IMessageBoxUi
{
public:
    void showMessageBox(const std::string& caption, const std::string& text) override
    {
        boxes.push_back(caption + "|" + text);
    }
    std::vector<std::string> boxes;
};

// Runs the GTK main loop until the condition holds or the deadline passes.
bool spinUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(30));

// The inner HTML of an element of a view, or nothing (read through the engine).
std::optional<std::string> elementHtml(IPageView& view, const std::string& id);

class CWebBrowser2;

// The GTK backend behind a window, for what only the engine can tell.
CWebBrowser2& gtkView(IPageView& view);
GtkWindow* gtkWindow(CUpdaterDlg& dlg);

class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes game.ini (two realms, two languages), the local pages, the
    // language files and the game client's files into the sandbox.
    void prepareInstallation(int updatePort, const std::string& webUrl);
    std::unique_ptr<CUpdaterDlg> makeDialog(CUpdaterDlg::Hooks hooks = {});
    CUpdaterDlg::Hooks scriptedHooks(std::vector<ScriptedClientPlan> plans);
    std::string readFile(const std::string& name);
    std::string element(CUpdaterDlg& dlg, const std::string& id);

    std::unique_ptr<Sandbox> m_sandbox;
    RecordingUi m_ui;
    std::atomic<int> m_clientsAlive{0};
    std::deque<ClientRecord> m_clients;
    std::vector<int> m_exitCodes;
    std::vector<unsigned> m_sleeps;
    std::vector<std::pair<std::string, LaunchKind>> m_launches;
    std::vector<int> m_children;
    // The pauses before automatic tries in every dialog made here: short, so
    // that a failing connection comes to its error quickly.
    std::vector<unsigned> m_retryDelays{50, 50, 50};
};
