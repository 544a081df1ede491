#include "launcher/GtkUi.h"

#include "launcher/UpdaterDlg.h"

#include <gtk/gtk.h>

#include <cstdio>

namespace
{

GtkWindow* dialogOwner = nullptr;

} // namespace

void setDialogOwner(GtkWindow* owner)
{
    dialogOwner = owner;
}

void runMessageBox(GtkWindow* owner, const std::string& caption, const std::string& text)
{
    if (logDialogForTest(caption, text))
        return;
    GtkWidget* box = gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s",
                                            text.c_str());
    gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
    gtk_window_set_position(GTK_WINDOW(box), owner ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

void CGtkUi::showMessageBox(const std::string& caption, const std::string& text)
{
    if (!m_hasDisplay)
    {
        if (!logDialogForTest(caption, text))
            std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return;
    }
    runMessageBox(dialogOwner, caption, text);
}

void CGtkUi::runMainWindow(const std::string& autoRealm)
{
    if (!m_hasDisplay)
    {
        std::fprintf(stderr,
                     "Zelvan: cannot open the display; run it in a desktop session or under xvfb-run.\n");
        return;
    }
    CUpdaterDlg dlg(autoRealm, *this);
    dlg.runModal();
}

std::unique_ptr<IAppUi> createAppUi(int& argc, char**& argv)
{
    bool hasDisplay = gtk_init_check(&argc, &argv);
    return std::make_unique<CGtkUi>(hasDisplay);
}
