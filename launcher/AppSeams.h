// What the launcher's start sequence and configuration code need from the
// user interface. The GTK window implements these; tests use recording fakes;
// without a window the executable prints message boxes to stderr.
#pragma once

#include <memory>
#include <string>

// A modal message box with a single OK button. Blocks until the user closes
// it. Caption and text are UTF-8. Called on the window's (main) thread only.
class IMessageBoxUi
{
public:
    virtual ~IMessageBoxUi() = default;
    virtual void showMessageBox(const std::string& caption, const std::string& text) = 0;
};

// The application's user interface: message boxes without an owner window,
// and the one launcher window.
class IAppUi : public IMessageBoxUi
{
public:
    // Makes the launcher window and runs it until it closes; autoRealm is the
    // realm section named by /auto_realm, or empty. The window owns the
    // configuration (LauncherConfig) and may end the process itself when it
    // hands over to the game client or to the self-update.
    virtual void runMainWindow(const std::string& autoRealm) = 0;
};

// The executable's interface, provided by whichever UI is linked in (the GTK
// window, or the console stand-in). Gets the command-line arguments first so
// a toolkit can take its own options.
std::unique_ptr<IAppUi> createAppUi(int& argc, char**& argv);
