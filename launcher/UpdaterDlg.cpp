// The window shell of CUpdaterDlg: construction, the borderless window with
// its strip, close button and icon, timers, the posted status messages,
// the first paint and closing.
#include "launcher/UpdaterDlg.h"

#include "launcher/AppSeams.h"
#include "launcher/DirectXCheck.h"
#include "launcher/DxWarning.h"
#include "launcher/GtkUi.h"
#include "launcher/MainLoopPost.h"
#include "launcher/WebBrowser2.h"
#include "platform/Process.h"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

// Events from the worker reach the window through the main loop; the mailbox
// outlives the window so that late events find nobody instead of freed memory.
struct CUpdaterDlg::Mailbox
{
    CUpdaterDlg* dlg = nullptr; // touched on the main thread only
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

CUpdaterDlg::CUpdaterDlg(const std::string& autoRealm, IMessageBoxUi& ui)
    : CUpdaterDlg(autoRealm, ui, Hooks())
{
}

CUpdaterDlg::CUpdaterDlg(const std::string& autoRealm, IMessageBoxUi& ui, Hooks hooks)
    : m_ui(ui), m_hooks(std::move(hooks)), m_mailbox(std::make_shared<Mailbox>())
{
    m_config.autoRealm = autoRealm;
    if (!m_hooks.createClient)
        m_hooks.createClient = [](const char* h, unsigned p, const char* l)
        { return IUpdateClient::create(h, p, l); };
    if (!m_hooks.terminateProcess)
        m_hooks.terminateProcess = [](int code) { platform::exitProcessNow(code); };
    if (!m_hooks.sleepMs)
        m_hooks.sleepMs = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    if (!m_hooks.startProcess)
        m_hooks.startProcess = startDetached;
    for (int i = 0; i < 4; ++i)
        m_timerArgs[i] = {this, static_cast<TimerId>(i)};
    m_mailbox->dlg = this;
}

CUpdaterDlg::~CUpdaterDlg()
{
    // After the window is gone a running client is still stopped before it is freed.
    stopClientAndWait();
    m_mailbox->dlg = nullptr;
    m_callback.setTargetWindow(nullptr);
    for (TimerId id : {TIMER_UPDATE, TIMER_SELF_UPDATE, TIMER_GAME_WINDOW})
        stopTimer(id);
    if (m_window)
    {
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

GtkWindow* CUpdaterDlg::window() const
{
    return GTK_WINDOW(m_window);
}

void CUpdaterDlg::runModal()
{
    create();
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    m_loop = loop;
    if (!m_ended)
        g_main_loop_run(loop);
    m_loop = nullptr;
    g_main_loop_unref(loop);
}

void CUpdaterDlg::create()
{
    buildWindow();
    if (auto* gtkUi = dynamic_cast<CGtkUi*>(&m_ui))
        gtkUi->setOwner(GTK_WINDOW(m_window));
    initDialog();
    gtk_widget_show(m_window);
}

void CUpdaterDlg::buildWindow()
{
    m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(m_window);
    gtk_window_set_decorated(GTK_WINDOW(m_window), FALSE);
    // A fixed size through hints: a non-resizable window would follow the
    // views' natural size, which WebKit takes from the page.
    GdkGeometry size{};
    size.min_width = size.max_width = WINDOW_WIDTH;
    size.min_height = size.max_height = WINDOW_HEIGHT;
    gtk_window_set_geometry_hints(GTK_WINDOW(m_window), nullptr, &size,
                                  static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
    gtk_window_set_default_size(GTK_WINDOW(m_window), WINDOW_WIDTH, WINDOW_HEIGHT);
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
    gtk_widget_set_size_request(strip, WINDOW_WIDTH, VIEW_TOP);
    gtk_box_pack_start(GTK_BOX(m_fixed), strip, FALSE, FALSE, 0);

    CWebBrowser2::Events web;
    web.beforeNavigate = [this](const std::string& url) { return onBeforeNavigate(url); };
    web.documentComplete = [this] { onWebDocumentComplete(); };
    web.navigateError = [this](const std::string&) { onWebNavigateError(); };
    m_webView = std::make_unique<CWebBrowser2>(web);
    CWebBrowser2::Events local;
    local.beforeNavigate = web.beforeNavigate;
    local.documentComplete = [this] { onLocalDocumentComplete(); };
    m_localView = std::make_unique<CWebBrowser2>(local);
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
}

void CUpdaterDlg::initDialog()
{
    m_config.lastAddress = readLastAddress();
    loadGameIni(m_config);
    m_config.savedLanguage = loadSavedLanguage(m_config.languages);
    selectLanguage(m_config.savedLanguage);

    std::weak_ptr<Mailbox> box = m_mailbox;
    m_callback.setTargetWindow(
        [box](int event)
        {
            std::shared_ptr<Mailbox> mailbox = box.lock();
            if (!mailbox)
                return;
            postToMainLoop(PostWhen::Invoke,
                           [mailbox, event]
                           {
                               if (CUpdaterDlg* dlg = mailbox->dlg)
                                   dlg->onSetUpdateStatus(event);
                           });
        });

    showReadyText();
    setElementHtml(*m_webView, "download_rate", "");
    setElementHtml(*m_webView, "time_remaining", "");
    setProgressBar(100);
    m_readyToPlay = false;
}

void CUpdaterDlg::setBackground(int languagePosition)
{
    if (m_background)
        g_object_unref(m_background);
    m_background = loadArt(languagePosition == 0 ? "background_0.png" : "background_1.png");
    if (m_window)
        gtk_widget_queue_draw(m_window);
}

void CUpdaterDlg::showViews(bool local, bool web)
{
    m_localShown = local;
    m_webShown = web;
    gtk_widget_set_visible(m_localView->widget(), local);
    gtk_widget_set_visible(m_webView->widget(), web);
}

void CUpdaterDlg::setRunEnabled(bool enabled)
{
    m_runEnabled = enabled;
}

bool CUpdaterDlg::toggleFullCheck()
{
    m_fullCheck = !m_fullCheck;
    return m_fullCheck;
}

void CUpdaterDlg::startTimer(TimerId id)
{
    if (m_timers[id])
        g_source_remove(m_timers[id]);
    m_timers[id] = g_timeout_add(100, onTimerSource, &m_timerArgs[id]);
}

void CUpdaterDlg::stopTimer(TimerId id)
{
    if (m_timers[id])
        g_source_remove(m_timers[id]);
    m_timers[id] = 0;
}

int CUpdaterDlg::onTimerSource(void* data)
{
    auto* arg = static_cast<TimerArg*>(data);
    arg->dlg->onTimer(arg->id);
    return G_SOURCE_CONTINUE;
}

void CUpdaterDlg::onTimer(TimerId id)
{
    if (id == TIMER_UPDATE || id == TIMER_SELF_UPDATE)
        progressTick();
    else if (id == TIMER_GAME_WINDOW)
        gameWindowCheck();
}

int CUpdaterDlg::onDraw(GtkWidget* widget, void* crp, void* data)
{
    auto* self = static_cast<CUpdaterDlg*>(data);
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
        // The check runs once the window has been painted, not inside the paint.
        postToMainLoop(PostWhen::Idle,
                       [box = std::weak_ptr<Mailbox>(self->m_mailbox)]
                       {
                           if (auto mailbox = box.lock(); mailbox && mailbox->dlg)
                               mailbox->dlg->onFirstPaint();
                       });
    }
    return FALSE;
}

void CUpdaterDlg::onFirstPaint()
{
    CSystemDxProvider system;
    runDirectXFirstPaintHook(GTK_WINDOW(m_window), m_texts,
                             m_hooks.dxProvider ? *m_hooks.dxProvider : system);
}

int CUpdaterDlg::onDelete(GtkWidget*, void*, void* data)
{
    static_cast<CUpdaterDlg*>(data)->onCancel();
    return TRUE;
}

int CUpdaterDlg::onButtonPress(GtkWidget* widget, void* ev, void*)
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

int CUpdaterDlg::onKeyPress(GtkWidget*, void* ev, void* data)
{
    auto* self = static_cast<CUpdaterDlg*>(data);
    auto* event = static_cast<GdkEventKey*>(ev);
    if (event->keyval == GDK_KEY_Escape)
    {
        self->onCancel();
        return TRUE;
    }
    if ((event->keyval == GDK_KEY_Return || event->keyval == GDK_KEY_KP_Enter) && self->m_runEnabled)
    {
        self->onRun();
        return TRUE;
    }
    return FALSE;
}

void CUpdaterDlg::onCloseClicked(GtkWidget*, void* data)
{
    static_cast<CUpdaterDlg*>(data)->onCancel();
}

int CUpdaterDlg::onCloseCrossing(GtkWidget*, void* ev, void* data)
{
    auto* self = static_cast<CUpdaterDlg*>(data);
    auto* event = static_cast<GdkEventCrossing*>(ev);
    bool inside = event->type == GDK_ENTER_NOTIFY;
    if (GdkPixbuf* image = loadArt(inside ? "close_hover.png" : "close_normal.png"))
    {
        gtk_image_set_from_pixbuf(GTK_IMAGE(self->m_closeImage), image);
        g_object_unref(image);
    }
    return FALSE;
}

void CUpdaterDlg::onCancel()
{
    if (m_ended)
        return;
    saveLanguage(m_config.currentLanguage);
    stopClientAndWait();
    endDialog();
}

void CUpdaterDlg::stopClientAndWait()
{
    if (!m_client)
        return;
    m_client->stop();
    m_client->wait(10.0);
    releaseClient();
}

void CUpdaterDlg::endDialog()
{
    m_ended = true;
    if (m_window)
        gtk_widget_hide(m_window);
    if (m_loop)
        g_main_loop_quit(static_cast<GMainLoop*>(m_loop));
}

bool CUpdaterDlg::saveScreenshot(const std::string& path)
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

// For demos without a display: ZELVAN_SCREENSHOT names a PNG saved once the
// first job has settled (ready or failed), and ZELVAN_CLOSE_AFTER_SCREENSHOT
// then closes the window as the close button would.
void CUpdaterDlg::onJobSettled()
{
    static bool done = false;
    const char* path = std::getenv("ZELVAN_SCREENSHOT");
    if (done || !path || !*path)
        return;
    done = true;
    // Give the page a moment to paint what was just written into it.
    postToMainLoop(
        PostWhen::Later,
        [box = std::weak_ptr<Mailbox>(m_mailbox)]
        {
            if (auto mailbox = box.lock(); mailbox && mailbox->dlg)
            {
                CUpdaterDlg* dlg = mailbox->dlg;
                const char* target = std::getenv("ZELVAN_SCREENSHOT");
                bool saved = target && dlg->saveScreenshot(target);
                std::fprintf(stderr, "Zelvan: screenshot %s %s\n",
                             saved ? "saved to" : "could not be saved to", target ? target : "");
                const char* close = std::getenv("ZELVAN_CLOSE_AFTER_SCREENSHOT");
                if (close && *close && *close != '0')
                    dlg->onCancel();
            }
        },
        1500);
}
