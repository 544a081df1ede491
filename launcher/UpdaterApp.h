// The launcher application: chooses the language of the built-in texts,
// refuses to run beside another launcher (unless started with /auto_realm,
// as the self-update restart does), then runs the launcher window.
#pragma once

#include "launcher/MyWinApp.h"
#include "platform/SingleInstance.h"

#include <optional>
#include <string>

class IAppUi;

extern const char* const UPDATER_MUTEX_NAME;

class CUpdaterApp : public CMyWinApp
{
public:
    explicit CUpdaterApp(IAppUi& ui);

    // The start sequence. Returns false always: the process ends when the
    // window has closed (or when a second copy was refused).
    bool initInstance(const std::string& commandLine) override;

    // Where the guard's lock file lives; empty (the default) means the user's
    // runtime folder. Tests point it into their own folder.
    void setGuardFolder(const std::string& folder) { m_guardFolder = folder; }

    bool refused() const { return m_refused; }
    bool guardHeld() const { return m_guard.held(); }
    const std::optional<std::string>& autoRealm() const { return m_autoRealm; }

private:
    IAppUi& m_ui;
    platform::SingleInstanceGuard m_guard;
    std::string m_guardFolder;
    std::optional<std::string> m_autoRealm;
    bool m_refused = false;
};
