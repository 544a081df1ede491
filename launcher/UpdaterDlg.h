// The launcher window: two HTML views (the local page of the installation and
// the launcher's web page), the self-update check and the update it runs
// through one update client at a time, their progress in the page, the
// launcher:// commands, the game start and the DirectX warning.
// No toolkit here: the window, its views, timers and dialogs are a backend
// (launcher/window/WindowBackend.h). Everything runs on the window's thread;
// the client's worker reaches the window only through posted events.
#pragma once

#include "launcher/GameLaunch.h"
#include "launcher/LauncherCommands.h"
#include "launcher/LauncherConfig.h"
#include "launcher/TextTable.h"
#include "launcher/UpdCallback.h"
#include "launcher/window/WindowBackend.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class IDxProvider;
class IMessageBoxUi;

class CUpdaterDlg : public ILauncherCommands, private IWindowEvents
{
public:
    // The job the window runs; one at a time.
    enum Job : int
    {
        JOB_NONE = 0,
        JOB_SELF_UPDATE = 1,
        JOB_UPDATE = 2,
    };
    // The 100 ms poll of each job, and the watch for the game's window.
    enum TimerId : int
    {
        TIMER_UPDATE = 1,
        TIMER_SELF_UPDATE = 2,
        TIMER_GAME_WINDOW = 3,
    };

    // What the window does to the outside world; tests replace these.
    struct Hooks
    {
        std::function<IUpdateClient*(const char* host, unsigned port, const char* listFile)> createClient;
        // Ends the process at once (hand-over to the game or the self-update).
        std::function<void(int code)> terminateProcess;
        // The pause between the game's start and the launcher's end: at most
        // ms, over as soon as the game's window is there.
        std::function<void(unsigned ms)> sleepMs;
        // Starts a process; returns its id or -1.
        std::function<int(const std::string& commandLine, LaunchKind kind)> startProcess;
        IDxProvider* dxProvider = nullptr; // null: the system's
        // The window's toolkit; null: the backend linked into the build.
        std::function<std::unique_ptr<IWindowBackend>()> makeBackend;
        // The pauses before the automatic tries after a network failure; the
        // reconnect button comes when they are used up.
        std::vector<unsigned> retryDelaysMs{3000, 6000, 12000};
        // How long the web page may take before the local page shows the
        // status, the progress and the play button in its place.
        unsigned pageDeadlineMs = 5000;
    };

    CUpdaterDlg(const std::string& autoRealm, IMessageBoxUi& ui);
    CUpdaterDlg(const std::string& autoRealm, IMessageBoxUi& ui, Hooks hooks);
    ~CUpdaterDlg();
    CUpdaterDlg(const CUpdaterDlg&) = delete;
    CUpdaterDlg& operator=(const CUpdaterDlg&) = delete;

    // Makes the window, initialises it and runs the main loop until it ends.
    void runModal();
    // Makes and shows the window without running a loop (tests drive the loop).
    void create();
    bool ended() const { return m_ended; }
    IWindowBackend& backend() { return *m_backend; }

    // The operations of the window's state machine.
    bool beginJob(Job job, TimerId timer);
    void startSelfUpdateCheck();
    void startUpdate();
    void releaseClient();
    void showError(int status);
    void refreshStateText();
    void showReadyText();
    void updateRateAndTime(bool show, bool force);
    void onRun();
    void onCancel() override;
    bool toggleFullCheck();
    void selectLanguage(int position);
    void launchProcess(const std::string& commandLine, LaunchKind kind);
    void launchGame();

    // The registered messages, handled on the window thread.
    void onSetUpdateStatus(int event) override;
    void onSetUpdateProgress(int percent, int seconds) override;

    // Navigation start of either view; true cancels the navigation.
    bool onBeforeNavigate(const std::string& url);

    // launcher:// commands.
    void commandPlay() override;
    void commandLanguage(int number) override;
    void commandRefresh() override;
    void commandReconnect() override;
    void commandChangeServer(int number) override;
    void commandRepair() override;

    // Read access for tests and diagnostics.
    IPageView& webView() { return m_backend->view(ViewId::Web); }
    IPageView& localView() { return m_backend->view(ViewId::Local); }
    bool webViewShown() const { return m_webShown; }
    // The web page failed or is late: the local page shows the status.
    bool pageFallback() const { return m_pageFallback; }
    bool retryPending() const { return m_statusKind == STATUS_RETRY; }
    bool localViewShown() const { return m_localShown; }
    const LauncherConfig& config() const { return m_config; }
    bool readyToPlay() const { return m_readyToPlay; }
    bool hasClient() const { return m_client != nullptr; }
    int activeJob() const { return m_activeJob; }
    CUpdCallback& callback() { return m_callback; }
    const CTextTable& texts() const { return m_texts; }

    // Saves what the window shows as a PNG; false when it cannot.
    bool saveScreenshot(const std::string& path);

    // The first load of the web page in a process starts the self-update check.
    static void setAutoStartPending(bool pending);
    // True once per process: the first page (or what stands in for it) starts the check.
    static bool takeAutoStart();

    static constexpr int VIEW_TOP = 26;      // the 16-unit strip
    static constexpr int WINDOW_WIDTH = 810; // 540 by 392 dialog units
    static constexpr int WINDOW_HEIGHT = 638;

private:
    // The backend's events.
    bool onBeforeNavigate(ViewId view, const std::string& url) override;
    void onDocumentComplete(ViewId view) override;
    void onNavigateError(ViewId view, const std::string& url) override;
    void onTimer(int id) override;
    void onFirstPaint() override;
    bool onRunCommand() override;

    void initDialog();
    void showViews(bool local, bool web);
    void endDialog();
    void stopClientAndWait();
    void startTimer(TimerId id);
    void stopTimer(TimerId id);
    void progressTick();
    void gameWindowCheck();
    void onJobSettled();
    void setRunEnabled(bool enabled);
    int progressPercent();
    std::string statusText(int event);
    std::string resultText(int status);

    // Page operations.
    void setElementHtml(IPageView& view, const std::string& id, const std::string& html);
    void appendElementHtml(IPageView& view, const std::string& id, const std::string& html);
    void setProgressBar(int percent);
    void showPlayButton(bool enabled);
    void showCommandButton(IPageView& view, const std::string& command);
    void showLanguageLinks(IPageView& view);
    void showServerSelector(IPageView& view, bool interactive);
    void loadLocalPage();
    void loadWebPage();
    void onLocalDocumentComplete();
    void onWebDocumentComplete();
    void onWebNavigateError();

    // The player's extras (UpdaterDlgPlayer.cpp).
    enum : int
    {
        STATUS_RETRY = 3, // statusKind while an automatic try is counted down
    };
    void setStatusHtml(const std::string& id, const std::string& html);
    void showPlayArea(bool reconnect);
    void enterPageFallback();
    void armPageDeadline();
    void jobFailed(int status);
    bool scheduleRetry(int status);
    void retryTick(unsigned generation, unsigned remainingMs);
    void cancelRetry();
    std::string retryText();
    // While a connection takes long: where to, and for how long already.
    std::string connectingDetail();
    std::string failureText(int status);
    std::string logFileText();
    void takeJobInfo();
    void showDownloadedBytes(bool show);
    void showInstalledRelease();

    IMessageBoxUi& m_ui;
    Hooks m_hooks;
    LauncherConfig m_config;
    CTextTable m_texts;
    IUpdateClient* m_client = nullptr;
    Job m_activeJob = JOB_NONE;
    bool m_readyToPlay = false;
    int m_statusKind = 0;
    int m_statusCode = 0;
    bool m_navigationFailed = false;
    uint32_t m_lastRateTick = 0;
    std::string m_lastRateText;
    bool m_fullCheck = false;
    std::string m_excludedFolders;
    bool m_runEnabled = true;
    CUpdCallback m_callback;

    std::unique_ptr<IWindowBackend> m_backend;
    bool m_webShown = false;
    bool m_localShown = false;
    bool m_ended = false;

    bool m_pageFallback = false;
    bool m_localStandIn = false;
    unsigned m_pageLoads = 0;
    unsigned m_retryCount = 0;
    unsigned m_retryGeneration = 0;
    unsigned m_retryRemainingMs = 0;
    bool m_repair = false;
    uint32_t m_statusSince = 0;
    UpdJobInfo m_jobInfo{};
};
