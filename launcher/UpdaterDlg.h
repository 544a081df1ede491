// The launcher window: two HTML views (the local page of the installation and
// the launcher's web page), the self-update check and the update it runs
// through one update client at a time, their progress in the page, the
// launcher:// commands, the game start and the DirectX warning.
// Everything here runs on the GTK main thread; the client's worker reaches
// the window only through events posted onto the main loop.
#pragma once

#include "launcher/GameLaunch.h"
#include "launcher/LauncherCommands.h"
#include "launcher/LauncherConfig.h"
#include "launcher/TextTable.h"
#include "launcher/UpdCallback.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CWebBrowser2;
class IDxProvider;
class IMessageBoxUi;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _GdkPixbuf GdkPixbuf;

class CUpdaterDlg : public ILauncherCommands
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
        std::function<void(unsigned ms)> sleepMs;
        // Starts a process; returns its id or -1.
        std::function<int(const std::string& commandLine, LaunchKind kind)> startProcess;
        IDxProvider* dxProvider = nullptr; // null: the system's
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
    GtkWindow* window() const;

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
    void onCancel();
    bool toggleFullCheck();
    void selectLanguage(int position);
    void launchProcess(const std::string& commandLine, LaunchKind kind);
    void launchGame();

    // The registered messages, handled on the window thread.
    void onSetUpdateStatus(int event);
    void onSetUpdateProgress(int percent, int seconds);

    // Navigation start of either view; true cancels the navigation.
    bool onBeforeNavigate(const std::string& url);

    // launcher:// commands.
    void commandPlay() override;
    void commandLanguage(int number) override;
    void commandRefresh() override;
    void commandReconnect() override;
    void commandChangeServer(int number) override;

    // Read access for tests and diagnostics.
    CWebBrowser2& webView() { return *m_webView; }
    CWebBrowser2& localView() { return *m_localView; }
    bool webViewShown() const { return m_webShown; }
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

    static constexpr int VIEW_TOP = 26;      // the 16-unit strip
    static constexpr int WINDOW_WIDTH = 810; // 540 by 392 dialog units
    static constexpr int WINDOW_HEIGHT = 638;

private:
    struct Mailbox;

    void buildWindow();
    void initDialog();
    void setBackground(int languagePosition);
    void showViews(bool local, bool web);
    void endDialog();
    void stopClientAndWait();
    void startTimer(TimerId id);
    void stopTimer(TimerId id);
    void onTimer(TimerId id);
    void progressTick();
    void gameWindowCheck();
    void onFirstPaint();
    void onJobSettled();
    void setRunEnabled(bool enabled);
    int progressPercent();
    std::string statusText(int event);
    std::string resultText(int status);

    // Page operations.
    void setElementHtml(CWebBrowser2& view, const std::string& id, const std::string& html);
    void appendElementHtml(CWebBrowser2& view, const std::string& id, const std::string& html);
    void setProgressBar(int percent);
    void showPlayButton(bool enabled);
    void showCommandButton(CWebBrowser2& view, const std::string& command);
    void showLanguageLinks(CWebBrowser2& view);
    void showServerSelector(CWebBrowser2& view, bool interactive);
    void loadLocalPage();
    void loadWebPage();
    void onLocalDocumentComplete();
    void onWebDocumentComplete();
    void onWebNavigateError();

    static int onTimerSource(void* data);
    static int onDraw(GtkWidget*, void* cr, void* self);
    static int onDelete(GtkWidget*, void* event, void* self);
    static int onButtonPress(GtkWidget*, void* event, void* self);
    static int onKeyPress(GtkWidget*, void* event, void* self);
    static void onCloseClicked(GtkWidget*, void* self);
    static int onCloseCrossing(GtkWidget*, void* event, void* self);

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
    std::shared_ptr<Mailbox> m_mailbox;

    GtkWidget* m_window = nullptr;
    GtkWidget* m_fixed = nullptr;
    GtkWidget* m_closeButton = nullptr;
    GtkWidget* m_closeImage = nullptr;
    GdkPixbuf* m_background = nullptr;
    std::unique_ptr<CWebBrowser2> m_webView;
    std::unique_ptr<CWebBrowser2> m_localView;
    bool m_webShown = false;
    bool m_localShown = false;
    int m_viewWidth = WINDOW_WIDTH;
    int m_viewHeight = WINDOW_HEIGHT - VIEW_TOP;
    unsigned m_timers[4] = {};
    struct TimerArg
    {
        CUpdaterDlg* dlg;
        TimerId id;
    } m_timerArgs[4];
    bool m_painted = false;
    bool m_ended = false;
    void* m_loop = nullptr;
};
