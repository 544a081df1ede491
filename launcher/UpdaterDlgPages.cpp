// CUpdaterDlg and its pages: page operations, loading the local and the web
// page, their events, the choice of language and the launcher:// commands.
#include "launcher/TextIds.h"
#include "launcher/UpdaterDlg.h"

#include "launcher/AppSeams.h"
#include "launcher/PageOps.h"
#include "launcher/WebBrowser2.h"
#include "platform/Files.h"

#include <gtk/gtk.h>

#include <climits>

namespace
{

bool autoStartPending = true;

} // namespace

void CUpdaterDlg::setAutoStartPending(bool pending)
{
    autoStartPending = pending;
}

void CUpdaterDlg::setElementHtml(CWebBrowser2& view, const std::string& id, const std::string& html)
{
    view.runScript(scriptSetElementHtml(id, html));
}

void CUpdaterDlg::appendElementHtml(CWebBrowser2& view, const std::string& id, const std::string& html)
{
    view.runScript(scriptAppendElementHtml(id, html));
}

void CUpdaterDlg::setProgressBar(int percent)
{
    m_webView->runScript(scriptSetProgressBar(percent));
}

void CUpdaterDlg::showPlayButton(bool enabled)
{
    setElementHtml(*m_webView, "play_button_bg",
                   playButtonHtml(enabled, static_cast<int>(m_config.currentLanguage)));
}

void CUpdaterDlg::showCommandButton(CWebBrowser2& view, const std::string& command)
{
    setElementHtml(view, "play_button_bg",
                   commandButtonHtml(command, static_cast<int>(m_config.currentLanguage)));
}

void CUpdaterDlg::showLanguageLinks(CWebBrowser2& view)
{
    if (m_config.languages.empty())
    {
        setElementHtml(view, "languages", noLanguagesHtml());
        return;
    }
    for (size_t i = 0; i < m_config.languages.size(); ++i)
        appendElementHtml(view, "languages", languageLinkHtml(static_cast<int>(i), m_config.languages[i].id));
}

void CUpdaterDlg::showServerSelector(CWebBrowser2& view, bool interactive)
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
    showViews(false, false);
    const std::string cwd = platform::currentFolder();
    const std::string dir = cwd.empty() ? std::string(".") : cwd;
    m_localView->navigate(localPageUrl(dir, static_cast<int>(m_config.currentLanguage)));
}

void CUpdaterDlg::loadWebPage()
{
    m_navigationFailed = false;
    m_webView->navigate(webPageUrl(m_config.webUrl, static_cast<int>(m_config.currentLanguage)));
}

void CUpdaterDlg::selectLanguage(int position)
{
    bool valid = position >= 0 && static_cast<size_t>(position) < m_config.languages.size();
    m_texts.load(valid ? m_config.languages[static_cast<size_t>(position)].textFile : std::string());
    m_config.currentLanguage = position < 0 ? SIZE_MAX : static_cast<size_t>(position);
    writeClientLanguage(currentLanguageId(m_config), m_ui);
    setBackground(position);
    loadLocalPage();
    gtk_window_set_title(GTK_WINDOW(m_window), m_texts.text(text_id::WINDOW_TITLE).c_str());
    showReadyText();
}

void CUpdaterDlg::onLocalDocumentComplete()
{
    showLanguageLinks(*m_localView);
    showCommandButton(*m_localView, "refresh");
    showViews(true, m_webShown);
    loadWebPage();
}

void CUpdaterDlg::onWebDocumentComplete()
{
    if (m_navigationFailed)
        return;
    showLanguageLinks(*m_webView);
    showServerSelector(*m_webView, true);
    if (m_statusKind == 2 && m_statusCode == UPD_CONNECT_FAILED)
        showCommandButton(*m_webView, "reconnect");
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
        setElementHtml(*m_webView, "download_rate", "");
        setElementHtml(*m_webView, "time_remaining", "");
    }
}

void CUpdaterDlg::onWebNavigateError()
{
    m_navigationFailed = true;
    m_webView->stop();
    m_ui.showMessageBox(m_texts.text(text_id::ERROR_CAPTION), m_texts.text(text_id::NO_CONNECTION));
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
    showPlayButton(false);
    startSelfUpdateCheck();
}

void CUpdaterDlg::commandChangeServer(int number)
{
    m_config.currentRealmIndex = static_cast<size_t>(number);
    if (m_config.currentRealmIndex < m_config.realms.size())
        writeRealmFiles(m_config.realms[m_config.currentRealmIndex], m_ui);
    m_readyToPlay = false;
    showPlayButton(false);
    startSelfUpdateCheck();
}
