// CUpdaterDlg and the update client: the self-update check and the update,
// the progress tick with rate and time left, status and result texts, and
// handing over to the game client or the self-update script.
#include "launcher/TextIds.h"
#include "launcher/UpdaterDlg.h"

#include "launcher/AppSeams.h"
#include "launcher/LauncherLog.h"
#include "launcher/PageOps.h"
#include "launcher/ProgressText.h"

namespace
{

const char* const RECHECK_LIST = "Always/\n";
const char* const LIST_FILE = "Files.lst";
const char* const SERVER_LIST_CACHE = "SvCache.lst";

} // namespace

std::string CUpdaterDlg::statusText(int event)
{
    switch (event)
    {
    case UPD_EVENT_SCANNING:
        return m_texts.text(text_id::SCANNING);
    case UPD_EVENT_CONNECTING:
        return m_texts.text(text_id::CONNECTING);
    case UPD_EVENT_BUILDING_LIST:
        return m_texts.text(text_id::BUILDING_LIST);
    case UPD_EVENT_FILE_REQUEST:
        return m_texts.text(text_id::DOWNLOADING);
    case UPD_EVENT_FILE_RECEIVED:
        return m_texts.text(text_id::DECOMPRESSING);
    case UPD_EVENT_CREATING_FOLDERS:
        return m_texts.text(text_id::CREATING_FOLDERS);
    case UPD_EVENT_DELETING:
        return m_texts.text(text_id::DELETING);
    case UPD_EVENT_SAVING_LIST:
        return m_texts.text(text_id::SAVING_LIST);
    default:
        return m_texts.text(text_id::READY);
    }
}

std::string CUpdaterDlg::resultText(int status)
{
    if (status == UPD_DATA_CORRUPTED && !m_config.trustKey.empty())
        return m_texts.text(text_id::RELEASE_REFUSED);
    return m_texts.text(status >= 1 && status <= 15 ? text_id::STATUS_BASE + status
                                                    : text_id::INTERNAL_ERROR);
}

int CUpdaterDlg::progressPercent()
{
    return static_cast<int>(m_callback.getProgress() * 100);
}

// The set-up both jobs share: controls off, the job's poll timer, and a client
// for the current realm with our callback. False (error shown) when no client.
bool CUpdaterDlg::beginJob(Job job, TimerId timer)
{
    setRunEnabled(false);
    showServerSelector(webView(), false);
    m_activeJob = job;
    startTimer(timer);
    m_callback.resetProgress();
    m_jobInfo = UpdJobInfo{};
    Realm realm = currentRealm(m_config);
    m_client = m_hooks.createClient(realm.UpdateURL.c_str(), static_cast<unsigned>(realm.Port), LIST_FILE);
    if (!m_client)
    {
        releaseClient();
        showError(UPD_INTERNAL_ERROR);
        return false;
    }
    m_client->setCallback(&m_callback);
    m_client->setRecheckList(RECHECK_LIST);
    if (m_config.limitRate != 0)
        m_client->setRateLimit(m_config.limitRate);
    if (!m_config.tlsCa.empty())
        m_client->setTlsTrust(m_config.tlsCa.c_str());
    if (!m_config.trustKey.empty())
        m_client->setTrustKey(m_config.trustKey.c_str());
    return true;
}

void CUpdaterDlg::startSelfUpdateCheck()
{
    if (m_client)
        return;
    if (!beginJob(JOB_SELF_UPDATE, TIMER_SELF_UPDATE))
        return;
    m_client->setSelfUpdateJob(currentRealm(m_config).section.c_str());
    m_client->start();
}

void CUpdaterDlg::startUpdate()
{
    if (m_client)
        return;
    if (m_readyToPlay)
    {
        launchGame();
        return;
    }
    if (!beginJob(JOB_UPDATE, TIMER_UPDATE))
        return;
    m_client->setFullCheck(m_fullCheck || m_repair);
    m_client->setUpdateJob(".", SERVER_LIST_CACHE);
    m_client->addExclusions(m_excludedFolders.c_str());
    m_client->start();
}

void CUpdaterDlg::onRun()
{
    // The player's own start replaces a counted-down try.
    if (!m_client)
        cancelRetry();
    startSelfUpdateCheck();
}

void CUpdaterDlg::progressTick()
{
    if (!m_client)
        return;
    setProgressBar(progressPercent());
    updateRateAndTime(true, false);
    if (m_statusKind == 1 && m_statusCode == UPD_EVENT_CONNECTING && !connectingDetail().empty())
        refreshStateText();
    if (m_client->wait(0))
    {
        takeJobInfo();
        updateRateAndTime(false, false);
        if (m_activeJob == JOB_UPDATE)
        {
            int r = m_client->getStatus();
            if (r == UPD_OK || r == UPD_SELF_UP_TO_DATE)
            {
                releaseClient();
                writeClientLanguage(currentLanguageId(m_config), m_ui);
                m_readyToPlay = true;
                showPlayButton(true);
                m_statusKind = 1;
                m_statusCode = 0;
                m_retryCount = 0;
                m_repair = false;
                refreshStateText();
                showInstalledRelease();
                onJobSettled();
            }
            else
                jobFailed(r);
        }
        else if (m_activeJob == JOB_SELF_UPDATE)
        {
            int r = m_client->getStatus();
            if (r == UPD_SELF_UP_TO_DATE)
            {
                releaseClient();
                startUpdate();
            }
            else if (r == UPD_OK)
            {
                const char* batch = m_client->getSelfUpdateBatch();
                if (batch)
                {
                    std::string path = batch;
                    launchProcess(path, LaunchKind::Script);
                    releaseClient();
                    m_hooks.terminateProcess(0);
                }
                else
                {
                    launcherLog("Self-update internal error!");
                    releaseClient();
                    showError(UPD_INTERNAL_ERROR);
                }
            }
            else
                jobFailed(r);
        }
    }
}

void CUpdaterDlg::updateRateAndTime(bool show, bool force)
{
    if (!show)
    {
        setStatusHtml("download_rate", "");
        setStatusHtml("time_remaining", "");
        showDownloadedBytes(false);
        return;
    }
    uint32_t now = tickCount();
    uint32_t elapsed = now - m_lastRateTick;
    if (elapsed < 1000 && !force)
        return;
    uint32_t rate = 0;
    // Forced again within the same millisecond there is nothing to measure:
    // the last rate stays and the counted bytes wait for the next computation.
    if (computeRate(static_cast<uint32_t>(m_callback.getBytes()), elapsed, rate))
    {
        m_lastRateTick = now;
        m_callback.resetBytes();
        m_lastRateText = formatRateText(rate);
    }
    else if (m_lastRateText.empty())
        m_lastRateText = formatRateText(0);
    setStatusHtml("download_rate", m_texts.text(text_id::TRANSFER_RATE) + m_lastRateText);
    setStatusHtml("time_remaining",
                  m_texts.text(text_id::TIME_REMAINING) + formatTimeText(m_callback.estimateSecondsLeft()));
    takeJobInfo();
    showDownloadedBytes(true);
}

void CUpdaterDlg::releaseClient()
{
    if (m_client)
        m_client->release();
    m_client = nullptr;
    m_activeJob = JOB_NONE;
    stopTimer(TIMER_UPDATE);
    refreshStateText();
    setProgressBar(100);
    setRunEnabled(true);
    showServerSelector(webView(), true);
}

void CUpdaterDlg::showError(int status)
{
    m_statusKind = 2;
    m_statusCode = status;
    std::string t = resultText(status);
    // The box says what failed where, and where the log is; the page keeps to
    // the cause, beside the reconnect button.
    std::string box = t;
    for (const std::string& more : {failureText(status), logFileText()})
        if (!more.empty())
            box += "\n\n" + more;
    m_ui.showMessageBox(m_texts.text(text_id::ERROR_CAPTION), box);
    refreshStateText();
    showPlayArea(true);
    onJobSettled();
}

void CUpdaterDlg::refreshStateText()
{
    std::string t;
    if (m_statusKind == 1)
        t = statusText(m_statusCode) + connectingDetail();
    else if (m_statusKind == 2)
    {
        t = resultText(m_statusCode);
        // A file name from the server: shown as text, never as markup.
        if (std::string detail = failureText(m_statusCode); !detail.empty())
            t += " " + htmlEscape(detail);
    }
    else if (m_statusKind == STATUS_RETRY)
        t = retryText();
    // The file name comes from the server: it is shown as text, never as markup.
    if (m_statusKind == 1 &&
        (m_statusCode == UPD_EVENT_FILE_REQUEST || m_statusCode == UPD_EVENT_FILE_RECEIVED))
        t += htmlEscape(m_callback.getText());
    setStatusHtml("state", t);
}

void CUpdaterDlg::showReadyText()
{
    setStatusHtml("state", m_texts.text(text_id::READY));
}

void CUpdaterDlg::onSetUpdateStatus(int event)
{
    if (event != UPD_EVENT_FILE_REQUEST && event != UPD_EVENT_FILE_RECEIVED)
    {
        setStatusHtml("download_rate", "");
        setStatusHtml("time_remaining", "");
        showDownloadedBytes(false);
    }
    m_statusKind = 1;
    m_statusCode = event;
    m_statusSince = tickCount();
    refreshStateText();
}

void CUpdaterDlg::onSetUpdateProgress(int percent, int seconds)
{
    setProgressBar(percent);
    if (seconds <= 0)
    {
        setStatusHtml("state", "");
        return;
    }
    setStatusHtml("state", formatTimePattern(m_texts.text(text_id::TIME_REMAINING), seconds / 3600,
                                             seconds % 3600 / 60, seconds % 60));
}

void CUpdaterDlg::launchProcess(const std::string& commandLine, LaunchKind kind)
{
    saveLanguage(m_config.currentLanguage);
    std::string line = commandLine.substr(0, COMMAND_LINE_MAX);
    int pid = m_hooks.startProcess(line, kind);
    startTimer(TIMER_GAME_WINDOW);
    if (pid < 0)
    {
        launcherLog("Failed to launch command line:");
        launcherLog(line.c_str());
        showError(UPD_LAUNCH_FAILED);
    }
}

void CUpdaterDlg::launchGame()
{
    std::string commandLine = std::string(GAME_CLIENT_PROGRAM) + clientArgumentText();
    m_readyToPlay = false;
    showPlayButton(false);
    setStatusHtml("state", m_texts.text(text_id::GAME_STARTING));
    launchProcess(commandLine, LaunchKind::Game);
    m_hooks.sleepMs(3000);
    m_hooks.terminateProcess(0);
}

void CUpdaterDlg::gameWindowCheck()
{
    if (m_backend->windowOfClassExists(GAME_WINDOW_CLASS))
        m_hooks.terminateProcess(0);
}
