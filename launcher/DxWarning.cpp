#include "launcher/DxWarning.h"
#include "launcher/TextIds.h"

#include "launcher/GtkUi.h"
#include "launcher/TextTable.h"

#include <gtk/gtk.h>

#include <atomic>

namespace
{

std::atomic<bool> hookDone{false};

// The warning speaks the language chosen at start-up, whatever happens later.
CTextTable& warningTexts()
{
    static CTextTable table;
    return table;
}

} // namespace

bool directXNeedsWarning(bool checkSucceeded, uint32_t packedVersion)
{
    return !checkSucceeded || packedVersion < DX_VERSION_9_0C;
}

void resetDirectXFirstPaintHook()
{
    hookDone = false;
}

void runDirectXFirstPaintHook(GtkWindow* owner, const CTextTable& windowTexts, IDxProvider& provider)
{
    if (hookDone.exchange(true))
        return;
    if (&warningTexts() != &windowTexts)
        warningTexts() = windowTexts;
    // Without a Wine prefix there is no DirectX the game could use to check.
    if (!provider.getSystemDirectory())
        return;
    uint32_t packed = 0;
    bool ok = getDirectXVersion(provider, &packed, nullptr, 0);
    if (directXNeedsWarning(ok, packed))
        showDirectXWarning(owner, warningTexts());
}

void showDirectXWarning(GtkWindow* owner, const CTextTable& texts)
{
    std::string caption = texts.text(text_id::WARNING_CAPTION);
    // Held whole: a long translation is never cut.
    std::string text = texts.text(text_id::DIRECTX_TOO_OLD) + "\r\n" + texts.text(text_id::DIRECTX_DOWNLOAD) +
                       "\r\n\r\n" + DIRECTX_DOWNLOAD_URL;
    if (logDialogForTest(caption, text))
        return;

    GtkWidget* dialog =
        gtk_dialog_new_with_buttons(caption.c_str(), owner, GTK_DIALOG_MODAL, "OK", GTK_RESPONSE_OK, nullptr);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 520, 130);
    GtkWidget* view = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD_CHAR);
    gtk_text_view_set_justification(GTK_TEXT_VIEW(view), GTK_JUSTIFY_CENTER);
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), text.c_str(), -1);
    GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(scroll), view);
    gtk_widget_set_vexpand(scroll, TRUE);
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), scroll);
    gtk_widget_show_all(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}
