#include "launcher/window/WebBrowserHostWin32.h"

#include "launcher/window/DocumentPageOps.h"
#include "launcher/window/HtmlDocumentWin32.h"

#include <exdispid.h>

namespace
{

// The WebBrowser control, defined here so the build needs nothing of libuuid
// that older MinGW releases lack.
const CLSID kClsidWebBrowser = {0x8856F961, 0x340A, 0x11D0, {0xA9, 0x6B, 0x00, 0xC0, 0x4F, 0xD7, 0x05, 0xA2}};

std::string toUtf8(const wchar_t* text)
{
    if (!text || !*text)
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string out(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

// An event argument, passed by reference or by value.
const VARIANT* deref(const VARIANT& v)
{
    return (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal) ? v.pvarVal : &v;
}

std::string urlArgument(const VARIANT& v)
{
    const VARIANT* p = deref(v);
    return p->vt == VT_BSTR ? toUtf8(p->bstrVal) : std::string();
}

void setCancel(VARIANT& v)
{
    if (v.vt == (VT_BYREF | VT_BOOL) && v.pboolVal)
        *v.pboolVal = VARIANT_TRUE;
}

} // namespace

CWebBrowserHost::CWebBrowserHost(HWND parent, Events events) : m_parent(parent), m_events(std::move(events))
{
}

CWebBrowserHost::~CWebBrowserHost()
{
    destroy();
}

bool CWebBrowserHost::create()
{
    if (FAILED(CoCreateInstance(kClsidWebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                reinterpret_cast<void**>(&m_oleObject))))
        return false;
    m_oleObject->SetClientSite(static_cast<IOleClientSite*>(this));
    OleSetContainedObject(m_oleObject, TRUE);
    RECT none{};
    if (FAILED(m_oleObject->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(this), 0,
                                   m_parent, &none)) ||
        FAILED(m_oleObject->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&m_browser))))
    {
        destroy();
        return false;
    }
    m_oleObject->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&m_inPlace));
    IConnectionPointContainer* container = nullptr;
    if (SUCCEEDED(
            m_browser->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))))
    {
        if (SUCCEEDED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &m_eventsPoint)))
            m_eventsPoint->Advise(static_cast<IDispatch*>(this), &m_eventsCookie);
        container->Release();
    }
    // Script errors of a page are the page's business, not a dialog for the player.
    m_browser->put_Silent(VARIANT_TRUE);
    setRect(none);
    return true;
}

void CWebBrowserHost::destroy()
{
    if (m_eventsPoint)
    {
        if (m_eventsCookie)
            m_eventsPoint->Unadvise(m_eventsCookie);
        m_eventsPoint->Release();
        m_eventsPoint = nullptr;
    }
    if (m_browser)
    {
        m_browser->Stop();
        m_browser->Release();
        m_browser = nullptr;
    }
    if (m_activeObject)
    {
        m_activeObject->Release();
        m_activeObject = nullptr;
    }
    if (m_inPlace)
    {
        m_inPlace->InPlaceDeactivate();
        m_inPlace->Release();
        m_inPlace = nullptr;
    }
    if (m_oleObject)
    {
        m_oleObject->Close(OLECLOSE_NOSAVE);
        m_oleObject->SetClientSite(nullptr);
        m_oleObject->Release();
        m_oleObject = nullptr;
    }
}

HWND CWebBrowserHost::controlWindow() const
{
    HWND window = nullptr;
    if (m_inPlace)
        m_inPlace->GetWindow(&window);
    return window;
}

void CWebBrowserHost::setRect(const RECT& rect)
{
    m_rect = rect;
    if (m_inPlace)
        m_inPlace->SetObjectRects(&m_rect, &m_rect);
}

bool CWebBrowserHost::translateAccelerator(MSG* msg)
{
    return m_activeObject && m_activeObject->TranslateAccelerator(msg) == S_OK;
}

void CWebBrowserHost::navigate(const std::string& url)
{
    if (!m_browser)
        return;
    VARIANT target;
    VariantInit(&target);
    target.vt = VT_BSTR;
    target.bstrVal = SysAllocString(reinterpret_cast<const wchar_t*>(utf8ToUtf16(url).c_str()));
    VARIANT empty;
    VariantInit(&empty);
    m_browser->Navigate2(&target, &empty, &empty, &empty, &empty);
    VariantClear(&target);
}

void CWebBrowserHost::stop()
{
    if (m_browser)
        m_browser->Stop();
}

std::string CWebBrowserHost::currentUrl() const
{
    BSTR url = nullptr;
    if (!m_browser || FAILED(m_browser->get_LocationURL(&url)) || !url)
        return {};
    std::string out = toUtf8(url);
    SysFreeString(url);
    return out;
}

void CWebBrowserHost::setElementHtml(const std::string& id, const std::string& html)
{
    CHtmlDocument document(m_browser);
    documentSetElementHtml(document.valid() ? &document : nullptr, id, html);
}

void CWebBrowserHost::appendElementHtml(const std::string& id, const std::string& html)
{
    CHtmlDocument document(m_browser);
    documentAppendElementHtml(document.valid() ? &document : nullptr, id, html);
}

void CWebBrowserHost::setFirstStyleSheet(const std::string& cssText)
{
    CHtmlDocument document(m_browser);
    documentSetFirstStyleSheet(document.valid() ? &document : nullptr, cssText);
}

STDMETHODIMP CWebBrowserHost::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite))
        *object = static_cast<IOleClientSite*>(this);
    else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceSite))
        *object = static_cast<IOleInPlaceSite*>(this);
    else if (IsEqualIID(riid, IID_IOleInPlaceUIWindow) || IsEqualIID(riid, IID_IOleInPlaceFrame))
        *object = static_cast<IOleInPlaceFrame*>(this);
    else if (IsEqualIID(riid, IID_IDocHostUIHandler))
        *object = static_cast<IDocHostUIHandler*>(this);
    else if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, DIID_DWebBrowserEvents2))
        *object = static_cast<IDispatch*>(this);
    else
        return E_NOINTERFACE;
    return S_OK;
}

STDMETHODIMP CWebBrowserHost::GetContainer(IOleContainer** container)
{
    *container = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP CWebBrowserHost::GetWindow(HWND* window)
{
    *window = m_parent;
    return S_OK;
}

STDMETHODIMP CWebBrowserHost::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc,
                                               LPRECT pos, LPRECT clip, LPOLEINPLACEFRAMEINFO info)
{
    *frame = static_cast<IOleInPlaceFrame*>(this);
    *doc = nullptr;
    *pos = m_rect;
    *clip = m_rect;
    info->fMDIApp = FALSE;
    info->hwndFrame = m_parent;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
}

STDMETHODIMP CWebBrowserHost::OnPosRectChange(LPCRECT rect)
{
    if (m_inPlace && rect)
        m_inPlace->SetObjectRects(rect, rect);
    return S_OK;
}

STDMETHODIMP CWebBrowserHost::SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR)
{
    if (object)
        object->AddRef();
    if (m_activeObject)
        m_activeObject->Release();
    m_activeObject = object;
    return S_OK;
}

STDMETHODIMP CWebBrowserHost::GetHostInfo(DOCHOSTUIINFO* info)
{
    if (!info)
        return E_POINTER;
    info->dwFlags = DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_SCROLL_NO | DOCHOSTUIFLAG_DISABLE_HELP_MENU |
                    DOCHOSTUIFLAG_DPI_AWARE;
    info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
    info->pchHostCss = nullptr;
    info->pchHostNS = nullptr;
    return S_OK;
}

STDMETHODIMP CWebBrowserHost::GetExternal(IDispatch** external)
{
    *external = nullptr;
    return S_FALSE;
}

STDMETHODIMP CWebBrowserHost::TranslateUrl(DWORD, LPWSTR, LPWSTR* out)
{
    *out = nullptr;
    return S_FALSE;
}

STDMETHODIMP CWebBrowserHost::FilterDataObject(IDataObject*, IDataObject** out)
{
    *out = nullptr;
    return S_FALSE;
}

STDMETHODIMP CWebBrowserHost::GetTypeInfoCount(UINT* count)
{
    *count = 0;
    return S_OK;
}

// Events of frames inside the page are not the page's: only the top frame counts.
bool CWebBrowserHost::isTopFrame(const VARIANT& frame) const
{
    const VARIANT* p = deref(frame);
    if (p->vt != VT_DISPATCH || !p->pdispVal || !m_browser)
        return true;
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    p->pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
    m_browser->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
    bool same = a == b;
    if (a)
        a->Release();
    if (b)
        b->Release();
    return same;
}

// Arguments arrive last first: rgvarg[0] is the event's last parameter.
STDMETHODIMP CWebBrowserHost::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*)
{
    if (!params)
        return S_OK;
    VARIANT* args = params->rgvarg;
    UINT count = params->cArgs;
    switch (id)
    {
    case DISPID_BEFORENAVIGATE2: // pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel
        if (count >= 7)
        {
            std::string url = urlArgument(args[5]);
            if (m_events.beforeNavigate && m_events.beforeNavigate(url))
                setCancel(args[0]);
            else if (isTopFrame(args[6]))
                m_failed = false;
        }
        break;
    case DISPID_NAVIGATEERROR: // pDisp, URL, TargetFrameName, StatusCode, Cancel
        if (count >= 5 && isTopFrame(args[4]))
        {
            m_failed = true;
            const VARIANT* status = deref(args[1]);
            long code = status->vt == VT_I4 ? status->lVal : 0;
            // The engine's own error page is not shown in place of ours.
            setCancel(args[0]);
            if (m_events.navigateError)
                m_events.navigateError(urlArgument(args[3]), code);
        }
        break;
    case DISPID_DOCUMENTCOMPLETE: // pDisp, URL
        // A failed navigation may still complete the engine's error page.
        if (count >= 2 && isTopFrame(args[1]) && !m_failed && m_events.documentComplete)
            m_events.documentComplete();
        break;
    default:
        break;
    }
    return S_OK;
}
