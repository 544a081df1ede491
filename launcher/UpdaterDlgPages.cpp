// CUpdaterDlg and its pages: page operations, loading the local and the web
// page, their events, the choice of language and the launcher:// commands.
#include "launcher/TextIds.h"
#include "launcher/UpdaterDlg.h"

#include "launcher/AppSeams.h"
#include "launcher/PageOps.h"
#include "platform/Files.h"

#include <climits>

namespace
{

bool autoStartPending = true;

} // namespace

void CUpdaterDlg::setAutoStartPending(bool pending)
{
    autoStartPending = pending;
}

bool CUpdaterDlg::takeAutoStart()
{
    bool pending = autoStartPending;
    autoStartPending = false;
    return pending;
}

void CUpdaterDlg::setElementHtml(IPageView& view, const std::string& id, const std::string& html)
{
    view.setElementHtml(id, html);
}

void CUpdaterDlg::appendElementHtml(IPageView& view, const std::string& id, const std::string& html)
{
    view.appendElementHtml(id, html);
}

void CUpdaterDlg::setProgressBar(int percent)
{
    webView().setFirstStyleSheet(progressRule(percent));
    // The local page's first sheet is its own layout: its bar is an element.
    if (m_pageFallback)
        setElementHtml(localView(), "progress_bg", progressBarHtml(percent));
}

void CUpdaterDlg::showPlayButton(bool enabled)
{
    std::string html = playButtonHtml(enabled, static_cast<int>(m_config.currentLanguage));
    setElementHtml(webView(), "play_button_bg", html);
    if (m_pageFallback)
        setElementHtml(localView(), "play_button_bg", html);
}

void CUpdaterDlg::showCommandButton(IPageView& view, const std::string& command)
{
    setElementHtml(view, "play_button_bg",
                   commandButtonHtml(command, static_cast<int>(m_config.currentLanguage)));
}

void CUpdaterDlg::showLanguageLinks(IPageView& view)
{
    if (m_config.languages.empty())
    {
        setElementHtml(view, "languages", noLanguagesHtml());
        return;
    }
    for (size_t i = 0; i < m_config.languages.size(); ++i)
        appendElementHtml(view, "languages", languageLinkHtml(static_cast<int>(i), m_config.languages[i].id));
}

void CUpdaterDlg::showServerSelector(IPageView& view, bool interactive)
{
    std::string button;
    std::string list;
    std::string name = currentRealm(m_config).Name;
    if (interactive && m_config.realms.size() > 1)
    {
        button = realmButtonHtml(name, true);
        std::vector<std::string> names;
        for (const Realm& r : m_config.realms)
            names.push_back(r.Name);
        int current =
            m_config.currentRealmIndex < names.size() ? static_cast<int>(m_config.currentRealmIndex) : -1;
        list = realmListHtml(names, current);
    }
    else
        button = realmButtonHtml(name, false);
    setElementHtml(view, "select_list_bg", list);
    setElementHtml(view, "select_bg", button);
}

void CUpdaterDlg::loadLocalPage()
{
    m_pageFallback = false;
    m_localStandIn = false;
    showViews(false, false);
    const std::string cwd = platform::currentFolder();
    const std::string dir = cwd.empty() ? std::string(".") : cwd;
    localView().navigate(localPageUrl(dir, static_cast<int>(m_config.currentLanguage)));
}

void CUpdaterDlg::loadWebPage()
{
    m_navigationFailed = false;
    ++m_pageLoads;
    webView().navigate(webPageUrl(m_config.webUrl, static_cast<int>(m_config.currentLanguage)));
    armPageDeadline();
}

void CUpdaterDlg::selectLanguage(int position)
{
    bool valid = position >= 0 && static_cast<size_t>(position) < m_config.languages.size();
    m_texts.load(valid ? m_config.languages[static_cast<size_t>(position)].textFile : std::string());
    m_config.currentLanguage = position < 0 ? SIZE_MAX : static_cast<size_t>(position);
    writeClientLanguage(currentLanguageId(m_config), m_ui);
    m_backend->setBackground(position);
    loadLocalPage();
    m_backend->setTitle(m_texts.text(text_id::WINDOW_TITLE));
    showReadyText();
}

void CUpdaterDlg::onLocalDocumentComplete()
{
    showLanguageLinks(localView());
    showCommandButton(localView(), "refresh");
    if (m_localStandIn)
    {
        // The stand-in for a missing local page: the web page is on its way already.
        if (!m_webShown)
            showViews(true, false);
        if (m_pageFallback)
            enterPageFallback();
        return;
    }
    showViews(true, m_webShown);
    loadWebPage();
}

void CUpdaterDlg::onWebDocumentComplete()
{
    if (m_navigationFailed)
        return;
    // A late page still replaces the local one.
    m_pageFallback = false;
    showLanguageLinks(webView());
    showServerSelector(webView(), true);
    if (m_statusKind == 2 && m_statusCode == UPD_CONNECT_FAILED)
        showCommandButton(webView(), "reconnect");
    else
        showPlayButton(m_readyToPlay);
    if (autoStartPending)
    {
        onRun();
        autoStartPending = false;
    }
    showViews(false, true);
    setProgressBar(progressPercent());
    refreshStateText();
    if (m_client && !m_client->wait(0))
        updateRateAndTime(true, true);
    else
    {
        setElementHtml(webView(), "download_rate", "");
        setElementHtml(webView(), "time_remaining", "");
    }
    showInstalledRelease();
}

void CUpdaterDlg::onDocumentComplete(ViewId view)
{
    if (view == ViewId::Web)
        onWebDocumentComplete();
    else
        onLocalDocumentComplete();
}

// A local page that cannot be loaded (missing, or no engine to show it) must
// not stop the launcher: its view is shown as it is and the web page loads,
// as after a completed local page, only without the links written into it.
void CUpdaterDlg::onNavigateError(ViewId view, const std::string&)
{
    if (view == ViewId::Web)
    {
        onWebNavigateError();
        return;
    }
    if (m_localStandIn)
        return;
    // A blank view would hide the status the launcher writes: a page of its
    // own stands in (an engine without data: pages reports an error again).
    m_localStandIn = true;
    std::string url = localPageUrl(platform::currentFolder(), static_cast<int>(m_config.currentLanguage));
    url = standInPageUrl(url.substr(0, url.rfind('/') + 1));
    // Not from inside the engine's report of the failed load, which the
    // engine would follow with its own error page.
    m_backend->postTask(
        [this, url]
        {
            if (m_localStandIn)
                localView().navigate(url);
        },
        0);
    showViews(true, m_webShown);
    loadWebPage();
}

void CUpdaterDlg::onWebNavigateError()
{
    m_navigationFailed = true;
    webView().stop();
    // Status, progress and play at once, and the update starts: the player
    // does not wait for a page that may never come.
    enterPageFallback();
    m_ui.showMessageBox(m_texts.text(text_id::ERROR_CAPTION), m_texts.text(text_id::NO_CONNECTION));
}

bool CUpdaterDlg::onBeforeNavigate(ViewId, const std::string& url)
{
    return onBeforeNavigate(url);
}

bool CUpdaterDlg::onBeforeNavigate(const std::string& url)
{
    LauncherUrl parsed = parseLauncherUrl(url);
    if (!parsed.intercepted)
        return false;
    dispatchLauncherCommand(parsed, *this);
    return true;
}

void CUpdaterDlg::commandPlay()
{
    if (m_config.currentRealmIndex < m_config.realms.size())
        writeRealmFiles(m_config.realms[m_config.currentRealmIndex], m_ui);
    launchGame();
}

void CUpdaterDlg::commandLanguage(int number)
{
    selectLanguage(number);
}

void CUpdaterDlg::commandRefresh()
{
    loadWebPage();
}

void CUpdaterDlg::commandReconnect()
{
    cancelRetry();
    showPlayButton(false);
    startSelfUpdateCheck();
}

void CUpdaterDlg::commandChangeServer(int number)
{
    cancelRetry();
    m_config.currentRealmIndex = static_cast<size_t>(number);
    if (m_config.currentRealmIndex < m_config.realms.size())
        writeRealmFiles(m_config.realms[m_config.currentRealmIndex], m_ui);
    m_readyToPlay = false;
    showPlayButton(false);
    startSelfUpdateCheck();
}
