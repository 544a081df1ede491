// The window shell of CUpdaterDlg: construction, making the window through
// the backend, timers, the posted status messages, the first paint and closing.
#include "launcher/UpdaterDlg.h"

#include "launcher/AppSeams.h"
#include "launcher/DirectXCheck.h"
#include "launcher/DxWarning.h"
#include "platform/Process.h"

#include <cstdio>
#include <cstdlib>

CUpdaterDlg::CUpdaterDlg(const std::string& autoRealm, IMessageBoxUi& ui)
    : CUpdaterDlg(autoRealm, ui, Hooks())
{
}

CUpdaterDlg::CUpdaterDlg(const std::string& autoRealm, IMessageBoxUi& ui, Hooks hooks)
    : m_ui(ui), m_hooks(std::move(hooks))
{
    m_config.autoRealm = autoRealm;
    if (!m_hooks.createClient)
        m_hooks.createClient = [](const char* h, unsigned p, const char* l)
        { return IUpdateClient::create(h, p, l); };
    if (!m_hooks.terminateProcess)
        m_hooks.terminateProcess = [](int code) { platform::exitProcessNow(code); };
    if (!m_hooks.sleepMs)
        m_hooks.sleepMs = [](unsigned ms) { waitForGameWindow(ms); };
    if (!m_hooks.startProcess)
        m_hooks.startProcess = startDetached;
    m_backend = m_hooks.makeBackend ? m_hooks.makeBackend() : createWindowBackend();
}

CUpdaterDlg::~CUpdaterDlg()
{
    // After the window is gone a running client is still stopped before it is freed.
    stopClientAndWait();
    m_callback.setTargetWindow(nullptr);
    for (TimerId id : {TIMER_UPDATE, TIMER_SELF_UPDATE, TIMER_GAME_WINDOW})
        stopTimer(id);
    m_backend.reset();
}

void CUpdaterDlg::runModal()
{
    create();
    if (!m_ended)
        m_backend->runLoop();
}

void CUpdaterDlg::create()
{
    m_backend->create(*this, WINDOW_WIDTH, WINDOW_HEIGHT, VIEW_TOP);
    initDialog();
    m_backend->show();
}

void CUpdaterDlg::initDialog()
{
    m_config.lastAddress = readLastAddress();
    loadGameIni(m_config);
    m_config.savedLanguage = loadSavedLanguage(m_config.languages);
    selectLanguage(m_config.savedLanguage);

    m_callback.setTargetWindow(m_backend->statusPoster());

    showReadyText();
    setElementHtml(webView(), "download_rate", "");
    setElementHtml(webView(), "time_remaining", "");
    setProgressBar(100);
    m_readyToPlay = false;
}

void CUpdaterDlg::showViews(bool local, bool web)
{
    m_localShown = local;
    m_webShown = web;
    m_backend->showViews(local, web);
}

void CUpdaterDlg::setRunEnabled(bool enabled)
{
    m_runEnabled = enabled;
}

bool CUpdaterDlg::onRunCommand()
{
    if (!m_runEnabled)
        return false;
    onRun();
    return true;
}

bool CUpdaterDlg::toggleFullCheck()
{
    m_fullCheck = !m_fullCheck;
    return m_fullCheck;
}

void CUpdaterDlg::startTimer(TimerId id)
{
    m_backend->startTimer(id, 100);
}

void CUpdaterDlg::stopTimer(TimerId id)
{
    if (m_backend)
        m_backend->stopTimer(id);
}

void CUpdaterDlg::onTimer(int id)
{
    if (id == TIMER_UPDATE || id == TIMER_SELF_UPDATE)
        progressTick();
    else if (id == TIMER_GAME_WINDOW)
        gameWindowCheck();
}

void CUpdaterDlg::onFirstPaint()
{
    CSystemDxProvider system;
    runDirectXFirstPaintHook(m_backend.get(), m_texts, m_hooks.dxProvider ? *m_hooks.dxProvider : system);
}

void CUpdaterDlg::onCancel()
{
    if (m_ended)
        return;
    saveLanguage(m_config.currentLanguage);
    stopClientAndWait();
    endDialog();
}

void CUpdaterDlg::stopClientAndWait()
{
    if (!m_client)
        return;
    m_client->stop();
    m_client->wait(10.0);
    releaseClient();
}

void CUpdaterDlg::endDialog()
{
    m_ended = true;
    m_backend->hide();
    m_backend->quitLoop();
}

bool CUpdaterDlg::saveScreenshot(const std::string& path)
{
    return m_backend->saveScreenshot(path);
}

// For demos without a display: ZELVAN_SCREENSHOT names a picture saved once the
// first job has settled (ready or failed), and ZELVAN_CLOSE_AFTER_SCREENSHOT
// then closes the window as the close button would.
void CUpdaterDlg::onJobSettled()
{
    static bool done = false;
    const char* path = std::getenv("ZELVAN_SCREENSHOT");
    if (done || !path || !*path)
        return;
    done = true;
    // Give the page a moment to paint what was just written into it.
    m_backend->postTask(
        [this]
        {
            const char* target = std::getenv("ZELVAN_SCREENSHOT");
            bool saved = target && saveScreenshot(target);
            std::fprintf(stderr, "Zelvan: screenshot %s %s\n", saved ? "saved to" : "could not be saved to",
                         target ? target : "");
            const char* close = std::getenv("ZELVAN_CLOSE_AFTER_SCREENSHOT");
            if (close && *close && *close != '0')
                onCancel();
        },
        1500);
}
