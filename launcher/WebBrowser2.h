// One embedded HTML view of the GTK backend: a WebKitWebView with the
// operations the launcher needs (navigate, stop, the page operations, run
// as scripts in the document) and its navigation events.
// Handlers run on the GTK main thread and are disconnected when the wrapper dies.
#pragma once

#include "launcher/window/WindowBackend.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;

class CWebBrowser2 : public IPageView
{
public:
    struct Events
    {
        // Before every navigation of the view; true cancels it.
        std::function<bool(const std::string& url)> beforeNavigate;
        std::function<void()> documentComplete;
        std::function<void(const std::string& url)> navigateError;
    };

    explicit CWebBrowser2(Events events);
    virtual ~CWebBrowser2();
    CWebBrowser2(const CWebBrowser2&) = delete;
    CWebBrowser2& operator=(const CWebBrowser2&) = delete;

    GtkWidget* widget() const;
    void navigate(const std::string& url) override;
    void stop() override;
    // A document has been committed since the last navigation began.
    bool hasDocument() const { return m_hasDocument; }
    std::string currentUrl() const override;
    void setElementHtml(const std::string& id, const std::string& html) override;
    void appendElementHtml(const std::string& id, const std::string& html) override;
    void setFirstStyleSheet(const std::string& cssText) override;

    // Runs a script in the document; does nothing without one.
    void runScript(const std::string& script);
    // Runs a script and hands its string result (nothing for null or a failure)
    // to done on the main thread. done is not called once the view is gone.
    void evaluate(const std::string& script, std::function<void(std::optional<std::string>)> done);

private:
    static int onDecidePolicy(WebKitWebView*, void* decision, int type, void* self);
    static void onLoadChanged(WebKitWebView*, int event, void* self);
    static int onLoadFailed(WebKitWebView*, int event, const char* uri, void* error, void* self);

    Events m_events;
    WebKitWebView* m_view = nullptr;
    bool m_hasDocument = false;
    bool m_failed = false;
    // Cleared when the wrapper dies, so pending script results go nowhere.
    std::shared_ptr<bool> m_alive;
};
