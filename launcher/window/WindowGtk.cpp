#include "launcher/window/WindowGtk.h"

#include "launcher/GameLaunch.h"
#include "launcher/GtkUi.h"
#include "launcher/MainLoopPost.h"
#include "launcher/WebBrowser2.h"

#include <gdk/gdkkeysyms.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

// Work posted onto the main loop reaches the window through the mailbox, which
// outlives the window: a late event or task finds nobody instead of freed memory.
struct CGtkWindow::Mailbox
{
    CGtkWindow* window = nullptr; // touched on the main thread only
};

namespace
{

extern "C" void launcher_art_register_resource(void);

GdkPixbuf* loadArt(const char* name)
{
    static const bool registered = (launcher_art_register_resource(), true);
    (void)registered;
    std::string path = std::string("/zelvan/launcher/") + name;
    return gdk_pixbuf_new_from_resource(path.c_str(), nullptr);
}

} // namespace

std::unique_ptr<IWindowBackend> createWindowBackend()
{
    return std::make_unique<CGtkWindow>();
}

CGtkWindow::CGtkWindow() : m_mailbox(std::make_shared<Mailbox>())
{
    m_mailbox->window = this;
}

CGtkWindow::~CGtkWindow()
{
    m_mailbox->window = nullptr;
    for (auto& [id, source] : m_timers)
        g_source_remove(source);
    m_timers.clear();
    if (m_window)
    {
        setDialogOwner(nullptr);
        g_signal_handlers_disconnect_by_data(m_window, this);
        g_signal_handlers_disconnect_by_data(m_fixed, this);
        g_signal_handlers_disconnect_by_data(m_closeButton, this);
    }
    m_webView.reset();
    m_localView.reset();
    if (m_window)
    {
        gtk_widget_destroy(m_window);
        g_object_unref(m_window);
    }
    if (m_background)
        g_object_unref(m_background);
}

GtkWindow* CGtkWindow::window() const
{
    return GTK_WINDOW(m_window);
}

CWebBrowser2& CGtkWindow::browser(ViewId id)
{
    return id == ViewId::Web ? *m_webView : *m_localView;
}

IPageView& CGtkWindow::view(ViewId id)
{
    return browser(id);
}

void CGtkWindow::create(IWindowEvents& events, int width, int height, int viewTop)
{
    m_events = &events;
    m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(m_window);
    gtk_window_set_decorated(GTK_WINDOW(m_window), FALSE);
    // A fixed size through hints: a non-resizable window would follow the
    // views' natural size, which WebKit takes from the page.
    GdkGeometry size{};
    size.min_width = size.max_width = width;
    size.min_height = size.max_height = height;
    gtk_window_set_geometry_hints(GTK_WINDOW(m_window), nullptr, &size,
                                  static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
    gtk_window_set_default_size(GTK_WINDOW(m_window), width, height);
    gtk_window_set_position(GTK_WINDOW(m_window), GTK_WIN_POS_CENTER);
    gtk_widget_add_events(m_window, GDK_BUTTON_PRESS_MASK);
    g_signal_connect(m_window, "delete-event", G_CALLBACK(onDelete), this);
    g_signal_connect(m_window, "button-press-event", G_CALLBACK(onButtonPress), this);
    g_signal_connect(m_window, "key-press-event", G_CALLBACK(onKeyPress), this);

    // The strip on top shows the window background; below it the two views,
    // of which at most one is visible and then fills the rest of the window.
    GtkWidget* overlay = gtk_overlay_new();
    gtk_container_add(GTK_CONTAINER(m_window), overlay);
    m_fixed = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    g_signal_connect(m_fixed, "draw", G_CALLBACK(onDraw), this);
    gtk_container_add(GTK_CONTAINER(overlay), m_fixed);
    GtkWidget* strip = gtk_drawing_area_new();
    gtk_widget_set_size_request(strip, width, viewTop);
    gtk_box_pack_start(GTK_BOX(m_fixed), strip, FALSE, FALSE, 0);

    auto viewEvents = [&events](ViewId id)
    {
        CWebBrowser2::Events e;
        e.beforeNavigate = [&events, id](const std::string& url) { return events.onBeforeNavigate(id, url); };
        e.documentComplete = [&events, id] { events.onDocumentComplete(id); };
        e.navigateError = [&events, id](const std::string& url) { events.onNavigateError(id, url); };
        return e;
    };
    m_webView = std::make_unique<CWebBrowser2>(viewEvents(ViewId::Web));
    m_localView = std::make_unique<CWebBrowser2>(viewEvents(ViewId::Local));
    for (CWebBrowser2* v : {m_webView.get(), m_localView.get()})
        gtk_box_pack_start(GTK_BOX(m_fixed), v->widget(), TRUE, TRUE, 0);

    // The close button overlaps the strip's right end, as in the original art.
    m_closeButton = gtk_button_new();
    gtk_button_set_relief(GTK_BUTTON(m_closeButton), GTK_RELIEF_NONE);
    gtk_widget_set_can_focus(m_closeButton, FALSE);
    GdkPixbuf* normal = loadArt("close_normal.png");
    m_closeImage = gtk_image_new_from_pixbuf(normal);
    if (normal)
        g_object_unref(normal);
    gtk_container_add(GTK_CONTAINER(m_closeButton), m_closeImage);
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(
        css,
        "button { padding: 0; margin: 0; border: none; min-height: 0; min-width: 0; "
        "background: none; box-shadow: none; }",
        -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(m_closeButton), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
    g_signal_connect(m_closeButton, "clicked", G_CALLBACK(onCloseClicked), this);
    g_signal_connect(m_closeButton, "enter-notify-event", G_CALLBACK(onCloseCrossing), this);
    g_signal_connect(m_closeButton, "leave-notify-event", G_CALLBACK(onCloseCrossing), this);
    gtk_widget_set_halign(m_closeButton, GTK_ALIGN_END);
    gtk_widget_set_valign(m_closeButton, GTK_ALIGN_START);
    gtk_widget_set_margin_end(m_closeButton, 4);
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay), m_closeButton);

    if (GdkPixbuf* icon = loadArt("icon.png"))
    {
        gtk_window_set_icon(GTK_WINDOW(m_window), icon);
        g_object_unref(icon);
    }
    gtk_widget_show_all(overlay);
    showViews(false, false);
    setDialogOwner(GTK_WINDOW(m_window));
}

void CGtkWindow::showViews(bool local, bool web)
{
    gtk_widget_set_visible(m_localView->widget(), local);
    gtk_widget_set_visible(m_webView->widget(), web);
}

void CGtkWindow::setTitle(const std::string& title)
{
    gtk_window_set_title(GTK_WINDOW(m_window), title.c_str());
}

void CGtkWindow::setBackground(int languagePosition)
{
    if (m_background)
        g_object_unref(m_background);
    m_background = loadArt(languagePosition == 0 ? "background_0.png" : "background_1.png");
    if (m_window)
        gtk_widget_queue_draw(m_window);
}

void CGtkWindow::show()
{
    gtk_widget_show(m_window);
}

void CGtkWindow::hide()
{
    if (m_window)
        gtk_widget_hide(m_window);
}

void CGtkWindow::runLoop()
{
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    m_loop = loop;
    if (!m_quit)
        g_main_loop_run(loop);
    m_loop = nullptr;
    g_main_loop_unref(loop);
}

void CGtkWindow::quitLoop()
{
    m_quit = true;
    if (m_loop)
        g_main_loop_quit(static_cast<GMainLoop*>(m_loop));
}

void CGtkWindow::startTimer(int id, unsigned periodMs)
{
    stopTimer(id);
    auto& arg = m_timerArgs[id];
    if (!arg)
        arg = std::make_unique<TimerArg>(TimerArg{this, id});
    m_timers[id] = g_timeout_add(periodMs, onTimerSource, arg.get());
}

void CGtkWindow::stopTimer(int id)
{
    auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    g_source_remove(it->second);
    m_timers.erase(it);
}

int CGtkWindow::onTimerSource(void* data)
{
    auto* arg = static_cast<TimerArg*>(data);
    arg->self->m_events->onTimer(arg->id);
    return G_SOURCE_CONTINUE;
}

void CGtkWindow::postTask(std::function<void()> fn, unsigned delayMs)
{
    postToMainLoop(
        delayMs ? PostWhen::Later : PostWhen::Idle,
        [box = std::weak_ptr<Mailbox>(m_mailbox), fn = std::move(fn)]
        {
            if (auto mailbox = box.lock(); mailbox && mailbox->window)
                fn();
        },
        delayMs);
}

std::function<void(int event)> CGtkWindow::statusPoster()
{
    return [box = std::weak_ptr<Mailbox>(m_mailbox)](int event)
    {
        std::shared_ptr<Mailbox> mailbox = box.lock();
        if (!mailbox)
            return;
        postToMainLoop(PostWhen::Invoke,
                       [mailbox, event]
                       {
                           if (CGtkWindow* w = mailbox->window)
                               w->m_events->onSetUpdateStatus(event);
                       });
    };
}

void CGtkWindow::showMessageBox(const std::string& caption, const std::string& text)
{
    runMessageBox(GTK_WINDOW(m_window), caption, text);
}

void CGtkWindow::showDirectXWarning(const std::string& caption, const std::string& text)
{
    GtkWidget* dialog = gtk_dialog_new_with_buttons(caption.c_str(), GTK_WINDOW(m_window), GTK_DIALOG_MODAL,
                                                    "OK", GTK_RESPONSE_OK, nullptr);
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

bool CGtkWindow::windowOfClassExists(const std::string& windowClass)
{
    GdkDisplay* display = gdk_display_get_default();
    if (!display || !GDK_IS_X11_DISPLAY(display))
        return false;
    return x11WindowOfClassExists(gdk_x11_display_get_xdisplay(display), windowClass);
}

bool CGtkWindow::saveScreenshot(const std::string& path)
{
    GdkWindow* w = m_window ? gtk_widget_get_window(m_window) : nullptr;
    if (!w || !gtk_widget_get_mapped(m_window))
        return false;
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(w, 0, 0, gdk_window_get_width(w), gdk_window_get_height(w));
    if (!shot)
        return false;
    gboolean ok = gdk_pixbuf_save(shot, path.c_str(), "png", nullptr, nullptr);
    g_object_unref(shot);
    return ok;
}

int CGtkWindow::onDraw(GtkWidget* widget, void* crp, void* data)
{
    auto* self = static_cast<CGtkWindow*>(data);
    cairo_t* cr = static_cast<cairo_t*>(crp);
    if (self->m_background)
    {
        gdk_cairo_set_source_pixbuf(cr, self->m_background, 0, 0);
        cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_REPEAT);
        cairo_rectangle(cr, 0, 0, gtk_widget_get_allocated_width(widget),
                        gtk_widget_get_allocated_height(widget));
        cairo_fill(cr);
    }
    if (!self->m_painted)
    {
        self->m_painted = true;
        // The hook runs once the window has been painted, not inside the paint.
        self->postTask([self] { self->m_events->onFirstPaint(); }, 0);
    }
    return FALSE;
}

int CGtkWindow::onDelete(GtkWidget*, void*, void* data)
{
    static_cast<CGtkWindow*>(data)->m_events->onCancel();
    return TRUE;
}

int CGtkWindow::onButtonPress(GtkWidget* widget, void* ev, void*)
{
    auto* event = static_cast<GdkEventButton*>(ev);
    if (event->button == 1 && event->type == GDK_BUTTON_PRESS)
    {
        gtk_window_begin_move_drag(GTK_WINDOW(widget), 1, static_cast<int>(event->x_root),
                                   static_cast<int>(event->y_root), event->time);
        return TRUE;
    }
    return FALSE;
}

int CGtkWindow::onKeyPress(GtkWidget*, void* ev, void* data)
{
    auto* self = static_cast<CGtkWindow*>(data);
    auto* event = static_cast<GdkEventKey*>(ev);
    if (event->keyval == GDK_KEY_Escape)
    {
        self->m_events->onCancel();
        return TRUE;
    }
    if (event->keyval == GDK_KEY_Return || event->keyval == GDK_KEY_KP_Enter)
        return self->m_events->onRunCommand();
    return FALSE;
}

void CGtkWindow::onCloseClicked(GtkWidget*, void* data)
{
    static_cast<CGtkWindow*>(data)->m_events->onCancel();
}

int CGtkWindow::onCloseCrossing(GtkWidget*, void* ev, void* data)
{
    auto* self = static_cast<CGtkWindow*>(data);
    auto* event = static_cast<GdkEventCrossing*>(ev);
    bool inside = event->type == GDK_ENTER_NOTIFY;
    if (GdkPixbuf* image = loadArt(inside ? "close_hover.png" : "close_normal.png"))
    {
        gtk_image_set_from_pixbuf(GTK_IMAGE(self->m_closeImage), image);
        g_object_unref(image);
    }
    return FALSE;
}
