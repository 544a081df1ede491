#include "launcher/UpdaterApp.h"
#include "launcher/TextIds.h"

#include "launcher/AppSeams.h"
#include "launcher/BuiltinTexts.h"
#include "launcher/LauncherLog.h"
#include "platform/Locale.h"

const char* const UPDATER_MUTEX_NAME = "Updater_mutex_27182818284590452353602874713527";

namespace
{

}

CUpdaterApp::CUpdaterApp(IAppUi& ui) : m_ui(ui) {}

bool CUpdaterApp::initInstance(const std::string& commandLine)
{
    CMyWinApp::initInstance(commandLine);

    BuiltinLanguage language = BuiltinLanguage::English;
    if (hasSwitch("/rus"))
        language = BuiltinLanguage::Russian;
    else if (hasSwitch("/eng"))
        language = BuiltinLanguage::English;
    else if (platform::userDefaultLanguageId() == platform::LANG_ID_RUSSIAN)
        language = BuiltinLanguage::Russian;
    setBuiltinLanguage(language);

    m_autoRealm = getSwitchValue("/auto_realm");

    // The self-update restarts us with /auto_realm while the old process may
    // still be ending, so such a start neither waits for nor takes the guard.
    if (!m_autoRealm)
    {
        if (m_guard.create(UPDATER_MUTEX_NAME, m_guardFolder) == platform::GuardResult::AlreadyExists)
        {
            m_refused = true;
            m_ui.showMessageBox(builtinText(text_id::ERROR_CAPTION), builtinText(text_id::ALREADY_RUNNING));
            launcherLog("Mutex creation failed!");
            return false;
        }
        // Any other failure: run unguarded.
    }

    m_ui.runMainWindow(m_autoRealm.value_or(std::string()));
    // The guard stays until the process ends, as the window may still be
    // handing over to another program.
    return false;
}
