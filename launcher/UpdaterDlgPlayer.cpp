// CUpdaterDlg and the player's view when things go wrong: the local page in
// place of a web page that failed or is late, automatic tries after network
// failures, error texts that name the file, the folder or the space missing
// and the log, the repair command, the downloaded bytes and the installed
// release with its notes.
#include "launcher/TextIds.h"
#include "launcher/UpdaterDlg.h"

#include "launcher/PageOps.h"
#include "launcher/ProgressText.h"
#include "platform/Files.h"

#include <fstream>

namespace
{

// The release notes the update brings along; their first line names the release.
const char* const RELEASE_NOTES = "docs/changes.txt";
constexpr size_t RELEASE_NOTES_MAX = 16 * 1024;
constexpr uint32_t CONNECT_NO_RETRY_MS = 20000;

// A path as the player can find it: relative ones are under the installation.
std::string fullPath(std::string path)
{
    if (path.empty() || path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':'))
        return path;
    while (path.compare(0, 2, "./") == 0)
        path.erase(0, 2);
    std::string dir = platform::currentFolder();
    if (path == "." || path.empty())
        return dir;
    return dir.empty() ? path : dir + "/" + path;
}

bool networkFailure(int status)
{
    return status == UPD_CONNECT_FAILED || status == UPD_NETWORK_ERROR;
}

} // namespace

// Status writes go to the web page, and to the local page while it stands in.
void CUpdaterDlg::setStatusHtml(const std::string& id, const std::string& html)
{
    setElementHtml(webView(), id, html);
    if (m_pageFallback)
        setElementHtml(localView(), id, html);
}

void CUpdaterDlg::showPlayArea(bool reconnect)
{
    if (!reconnect)
    {
        showPlayButton(m_readyToPlay);
        return;
    }
    showCommandButton(webView(), "reconnect");
    if (m_pageFallback)
        showCommandButton(localView(), "reconnect");
}

void CUpdaterDlg::enterPageFallback()
{
    m_pageFallback = true;
    showViews(true, false);
    // The play button takes the refresh link's place; a page with a place of
    // its own for the link keeps it there.
    setElementHtml(localView(), "refresh_bg",
                   commandButtonHtml("refresh", static_cast<int>(m_config.currentLanguage)));
    showPlayArea(m_statusKind == 2);
    setProgressBar(progressPercent());
    refreshStateText();
    showInstalledRelease();
    if (m_client && !m_client->wait(0))
        updateRateAndTime(true, true);
    // The first web page would have started the check; this one stands in for it.
    if (takeAutoStart())
        onRun();
}

void CUpdaterDlg::armPageDeadline()
{
    if (m_hooks.pageDeadlineMs == 0)
        return;
    unsigned load = m_pageLoads;
    m_backend->postTask(
        [this, load]
        {
            if (load == m_pageLoads && !m_ended && !m_webShown && !m_pageFallback && !m_navigationFailed)
                enterPageFallback();
        },
        m_hooks.pageDeadlineMs);
}

void CUpdaterDlg::jobFailed(int status)
{
    // The bar stays where the job stopped: a full bar means done.
    int percent = progressPercent();
    // An address that never answered has had its time-out; trying it again
    // would keep the player waiting minutes for the same answer.
    bool timedOut = m_statusKind == 1 && m_statusCode == UPD_EVENT_CONNECTING &&
                    tickCount() - m_statusSince >= CONNECT_NO_RETRY_MS;
    releaseClient();
    if (!timedOut && scheduleRetry(status))
    {
        setProgressBar(percent);
        return;
    }
    m_retryCount = 0;
    m_repair = false;
    showError(status);
    setProgressBar(percent);
}

bool CUpdaterDlg::scheduleRetry(int status)
{
    if (!networkFailure(status) || m_retryCount >= m_hooks.retryDelaysMs.size())
        return false;
    unsigned delay = m_hooks.retryDelaysMs[m_retryCount++];
    m_statusKind = STATUS_RETRY;
    m_statusCode = status;
    showPlayArea(false);
    retryTick(++m_retryGeneration, delay);
    return true;
}

// Counts down in whole seconds, then tries again as the reconnect command would.
void CUpdaterDlg::retryTick(unsigned generation, unsigned remainingMs)
{
    if (generation != m_retryGeneration || m_ended || m_client)
        return;
    m_retryRemainingMs = remainingMs;
    if (remainingMs == 0)
    {
        ++m_retryGeneration;
        startSelfUpdateCheck();
        return;
    }
    refreshStateText();
    unsigned step = remainingMs % 1000 ? remainingMs % 1000 : 1000;
    m_backend->postTask([this, generation, remainingMs, step] { retryTick(generation, remainingMs - step); },
                        step);
}

void CUpdaterDlg::cancelRetry()
{
    ++m_retryGeneration;
    m_retryCount = 0;
}

std::string CUpdaterDlg::retryText()
{
    unsigned seconds = (m_retryRemainingMs + 999) / 1000;
    return fillPattern(m_texts.text(text_id::RETRY_COUNTDOWN),
                       {std::to_string(seconds), std::to_string(m_retryCount),
                        std::to_string(m_hooks.retryDelaysMs.size())});
}

std::string CUpdaterDlg::connectingDetail()
{
    if (m_statusKind != 1 || m_statusCode != UPD_EVENT_CONNECTING || !m_client)
        return std::string();
    uint32_t seconds = (tickCount() - m_statusSince) / 1000;
    // A wrong or unreachable address shows itself before the time-out.
    if (seconds < 3)
        return std::string();
    Realm realm = currentRealm(m_config);
    return " " + htmlEscape(realm.UpdateURL) + ":" + std::to_string(realm.Port) + " (" +
           std::to_string(seconds) + " s)";
}

std::string CUpdaterDlg::failureText(int status)
{
    if (status == UPD_OK || status == UPD_SELF_UP_TO_DATE)
        return std::string();
    const std::string path = fullPath(m_jobInfo.path);
    switch (m_jobInfo.failure)
    {
    case UPD_FAILURE_NO_SPACE:
        if (m_jobInfo.spaceNeeded > 0)
            return fillPattern(m_texts.text(text_id::NO_SPACE_NEEDED),
                               {formatBytes(m_jobInfo.spaceNeeded), formatBytes(m_jobInfo.spaceFree), path});
        return fillPattern(m_texts.text(text_id::DISK_FULL_AT), {path});
    case UPD_FAILURE_READ_ONLY:
        return fillPattern(m_texts.text(text_id::READ_ONLY_AT), {path});
    case UPD_FAILURE_FILE:
        return fillPattern(m_texts.text(text_id::FILE_FAILED_AT), {path});
    default:
        return std::string();
    }
}

std::string CUpdaterDlg::logFileText()
{
    if (m_jobInfo.logFile[0] == '\0')
        return std::string();
    return fillPattern(m_texts.text(text_id::LOG_FILE_AT), {fullPath(m_jobInfo.logFile)});
}

void CUpdaterDlg::takeJobInfo()
{
    UpdJobInfo info{};
    if (m_client && m_client->getJobInfo(&info))
    {
        info.path[sizeof info.path - 1] = '\0';
        info.logFile[sizeof info.logFile - 1] = '\0';
        m_jobInfo = info;
    }
}

void CUpdaterDlg::showDownloadedBytes(bool show)
{
    if (!show || m_jobInfo.bytesTotal == 0)
    {
        setStatusHtml("download_bytes", "");
        return;
    }
    const double share = static_cast<double>(m_callback.getProgress());
    const double total = static_cast<double>(m_jobInfo.bytesTotal);
    uint64_t done = share <= 0 ? 0 : share >= 1 ? m_jobInfo.bytesTotal : static_cast<uint64_t>(share * total);
    setStatusHtml("download_bytes", m_texts.text(text_id::DOWNLOADED) + formatBytes(done) + " / " +
                                        formatBytes(m_jobInfo.bytesTotal));
}

void CUpdaterDlg::showInstalledRelease()
{
    std::ifstream in(RELEASE_NOTES, std::ios::binary);
    if (!in)
        return;
    std::string notes(RELEASE_NOTES_MAX, '\0');
    in.read(notes.data(), static_cast<std::streamsize>(notes.size()));
    notes.resize(static_cast<size_t>(in.gcount()));
    std::string release;
    size_t start = 0;
    while (start < notes.size() && release.empty())
    {
        size_t end = notes.find('\n', start);
        if (end == std::string::npos)
            end = notes.size();
        release = notes.substr(start, end - start);
        while (!release.empty() && (release.back() == '\r' || release.back() == ' '))
            release.pop_back();
        start = end + 1;
    }
    // The notes come with the update from the server: text, never markup.
    std::string html;
    for (char c : htmlEscape(notes))
    {
        if (c == '\n')
            html += "<br>";
        else if (c != '\r')
            html += c;
    }
    setStatusHtml("release", m_texts.text(text_id::INSTALLED_RELEASE) + htmlEscape(release));
    setStatusHtml("release_notes", html);
}

void CUpdaterDlg::commandRepair()
{
    if (m_client)
        return;
    cancelRetry();
    // Every file is checked and the update follows even when ready to play.
    m_repair = true;
    m_readyToPlay = false;
    showPlayButton(false);
    startSelfUpdateCheck();
}
