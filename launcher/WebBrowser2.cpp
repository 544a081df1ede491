#include "launcher/WebBrowser2.h"

#include "launcher/PageOps.h"

#include <webkit2/webkit2.h>

namespace
{

struct EvalRequest
{
    std::weak_ptr<bool> alive;
    std::function<void(std::optional<std::string>)> done;
};

void onEvaluated(GObject* source, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<EvalRequest> request(static_cast<EvalRequest*>(data));
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
    std::optional<std::string> text;
    if (value)
    {
        if (jsc_value_is_string(value))
        {
            char* s = jsc_value_to_string(value);
            text = s;
            g_free(s);
        }
        g_object_unref(value);
    }
    if (error)
        g_error_free(error);
    if (!request->alive.expired() && request->done)
        request->done(text);
}

} // namespace

CWebBrowser2::CWebBrowser2(Events events) : m_events(std::move(events)), m_alive(std::make_shared<bool>(true))
{
    m_view = WEBKIT_WEB_VIEW(webkit_web_view_new());
    g_object_ref_sink(m_view);
    g_signal_connect(m_view, "decide-policy", G_CALLBACK(onDecidePolicy), this);
    g_signal_connect(m_view, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(m_view, "load-failed", G_CALLBACK(onLoadFailed), this);
}

CWebBrowser2::~CWebBrowser2()
{
    m_alive.reset();
    g_signal_handlers_disconnect_by_data(m_view, this);
    webkit_web_view_stop_loading(m_view);
    g_object_unref(m_view);
}

GtkWidget* CWebBrowser2::widget() const
{
    return GTK_WIDGET(m_view);
}

void CWebBrowser2::navigate(const std::string& url)
{
    webkit_web_view_load_uri(m_view, url.c_str());
}

void CWebBrowser2::stop()
{
    webkit_web_view_stop_loading(m_view);
}

std::string CWebBrowser2::currentUrl() const
{
    const char* uri = webkit_web_view_get_uri(m_view);
    return uri ? uri : "";
}

void CWebBrowser2::setElementHtml(const std::string& id, const std::string& html)
{
    runScript(scriptSetElementHtml(id, html));
}

void CWebBrowser2::appendElementHtml(const std::string& id, const std::string& html)
{
    runScript(scriptAppendElementHtml(id, html));
}

void CWebBrowser2::setFirstStyleSheet(const std::string& cssText)
{
    runScript(scriptSetFirstStyleSheet(cssText));
}

void CWebBrowser2::runScript(const std::string& script)
{
    if (!m_hasDocument)
        return;
    webkit_web_view_evaluate_javascript(m_view, script.c_str(), static_cast<gssize>(script.size()), nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
}

void CWebBrowser2::evaluate(const std::string& script, std::function<void(std::optional<std::string>)> done)
{
    auto* request = new EvalRequest{m_alive, std::move(done)};
    webkit_web_view_evaluate_javascript(m_view, script.c_str(), static_cast<gssize>(script.size()), nullptr,
                                        nullptr, nullptr, onEvaluated, request);
}

int CWebBrowser2::onDecidePolicy(WebKitWebView*, void* decision, int type, void* data)
{
    auto* self = static_cast<CWebBrowser2*>(data);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
        type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
        return FALSE;
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    const char* uri = webkit_uri_request_get_uri(request);
    if (self->m_events.beforeNavigate && self->m_events.beforeNavigate(uri ? uri : ""))
    {
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        return TRUE;
    }
    return FALSE;
}

// The HTTP status of the page the view has committed; 0 when there is none
// (a local file has none either).
static unsigned httpStatus(WebKitWebView* view)
{
    WebKitWebResource* resource = webkit_web_view_get_main_resource(view);
    WebKitURIResponse* response = resource ? webkit_web_resource_get_response(resource) : nullptr;
    return response ? webkit_uri_response_get_status_code(response) : 0;
}

void CWebBrowser2::onLoadChanged(WebKitWebView* view, int event, void* data)
{
    auto* self = static_cast<CWebBrowser2*>(data);
    switch (event)
    {
    case WEBKIT_LOAD_STARTED:
        self->m_failed = false;
        break;
    case WEBKIT_LOAD_COMMITTED:
        // A server's error page (404, 500, ...) is a failed navigation, not
        // the launcher's page.
        if (httpStatus(view) >= 400)
        {
            self->m_failed = true;
            if (self->m_events.navigateError)
            {
                const char* uri = webkit_web_view_get_uri(view);
                self->m_events.navigateError(uri ? uri : "");
            }
            break;
        }
        self->m_hasDocument = true;
        break;
    case WEBKIT_LOAD_FINISHED:
        // A failed load also finishes; only a good one completes the document.
        if (!self->m_failed && self->m_events.documentComplete)
            self->m_events.documentComplete();
        break;
    default:
        break;
    }
}

int CWebBrowser2::onLoadFailed(WebKitWebView*, int, const char* uri, void* error, void* data)
{
    auto* self = static_cast<CWebBrowser2*>(data);
    self->m_failed = true;
    GError* e = static_cast<GError*>(error);
    // Our own stop and cancelled navigations are not errors of the page.
    if (g_error_matches(e, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
        g_error_matches(e, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
        return FALSE;
    if (self->m_events.navigateError)
        self->m_events.navigateError(uri ? uri : "");
    // Handled: the engine's own error page would replace whatever the
    // launcher shows in the view instead.
    return TRUE;
}
