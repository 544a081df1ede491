// The GTK side of the launcher's application seam: real modal message boxes
// and the launcher window with the GTK backend.
#pragma once

#include "launcher/AppSeams.h"
#include "launcher/DialogTestLog.h"

#include <string>

typedef struct _GtkWindow GtkWindow;

// A modal message box with an OK button, owned by owner when given.
void runMessageBox(GtkWindow* owner, const std::string& caption, const std::string& text);

// The launcher window, while it exists, owns the application's message boxes.
void setDialogOwner(GtkWindow* owner);

class CGtkUi : public IAppUi
{
public:
    // Without a display the boxes go to stderr and no window is shown.
    explicit CGtkUi(bool hasDisplay) : m_hasDisplay(hasDisplay) {}
    void showMessageBox(const std::string& caption, const std::string& text) override;
    void runMainWindow(const std::string& autoRealm) override;

private:
    bool m_hasDisplay;
};
