// The GTK backend of the launcher window: a borderless GtkWindow with the
// strip, the close button and two WebKitGTK views (CWebBrowser2), timers and
// posted work on the GLib main loop.
#pragma once

#include "launcher/window/WindowBackend.h"

#include <map>
#include <memory>

class CWebBrowser2;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _GdkPixbuf GdkPixbuf;

class CGtkWindow : public IWindowBackend
{
public:
    CGtkWindow();
    ~CGtkWindow() override;
    CGtkWindow(const CGtkWindow&) = delete;
    CGtkWindow& operator=(const CGtkWindow&) = delete;

    void create(IWindowEvents& events, int width, int height, int viewTop) override;
    IPageView& view(ViewId id) override;
    void showViews(bool local, bool web) override;
    void setTitle(const std::string& title) override;
    void setBackground(int languagePosition) override;
    void show() override;
    void hide() override;
    void runLoop() override;
    void quitLoop() override;
    void startTimer(int id, unsigned periodMs) override;
    void stopTimer(int id) override;
    void postTask(std::function<void()> fn, unsigned delayMs) override;
    std::function<void(int event)> statusPoster() override;
    void showMessageBox(const std::string& caption, const std::string& text) override;
    void showDirectXWarning(const std::string& caption, const std::string& text) override;
    bool windowOfClassExists(const std::string& windowClass) override;
    bool saveScreenshot(const std::string& path) override;

    GtkWindow* window() const;
    CWebBrowser2& browser(ViewId id);

private:
    struct Mailbox;
    struct TimerArg
    {
        CGtkWindow* self;
        int id;
    };

    static int onTimerSource(void* data);
    static int onDraw(GtkWidget*, void* cr, void* self);
    static int onDelete(GtkWidget*, void* event, void* self);
    static int onButtonPress(GtkWidget*, void* event, void* self);
    static int onKeyPress(GtkWidget*, void* event, void* self);
    static void onCloseClicked(GtkWidget*, void* self);
    static int onCloseCrossing(GtkWidget*, void* event, void* self);

    IWindowEvents* m_events = nullptr;
    std::shared_ptr<Mailbox> m_mailbox;
    GtkWidget* m_window = nullptr;
    GtkWidget* m_fixed = nullptr;
    GtkWidget* m_closeButton = nullptr;
    GtkWidget* m_closeImage = nullptr;
    GdkPixbuf* m_background = nullptr;
    std::unique_ptr<CWebBrowser2> m_webView;
    std::unique_ptr<CWebBrowser2> m_localView;
    std::map<int, unsigned> m_timers;
    std::map<int, std::unique_ptr<TimerArg>> m_timerArgs;
    bool m_painted = false;
    bool m_quit = false;
    void* m_loop = nullptr;
};
