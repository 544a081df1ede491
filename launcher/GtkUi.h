// The GTK side of the launcher's seams: real modal message boxes and the
// launcher window. A test-only switch makes every dialog observable: when the
// environment variable ZELVAN_DIALOG_LOG names a file, each dialog appends
// "caption|text" as one line there (line breaks as \n) and closes at once.
#pragma once

#include "launcher/AppSeams.h"

#include <string>

typedef struct _GtkWindow GtkWindow;

// True when the dialog was logged for a test instead of being shown.
bool logDialogForTest(const std::string& caption, const std::string& text);

// A modal message box with an OK button, owned by owner when given.
void runMessageBox(GtkWindow* owner, const std::string& caption, const std::string& text);

class CGtkUi : public IAppUi
{
public:
    // Without a display the boxes go to stderr and no window is shown.
    explicit CGtkUi(bool hasDisplay) : m_hasDisplay(hasDisplay) {}
    void showMessageBox(const std::string& caption, const std::string& text) override;
    void runMainWindow(const std::string& autoRealm) override;

    // Message boxes shown while a window is set are owned by it.
    void setOwner(GtkWindow* owner) { m_owner = owner; }

private:
    bool m_hasDisplay;
    GtkWindow* m_owner = nullptr;
};
