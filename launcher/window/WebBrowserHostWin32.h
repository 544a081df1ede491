// One HTML view of the Win32 backend: the WebBrowser control hosted in place
// by our own OLE container (client site, in-place site and frame, document
// host UI handler) with a DWebBrowserEvents2 sink. Page operations go through
// the HTML document object model (CHtmlDocument, DocumentPageOps).
// Everything runs on the window's thread, which has initialised OLE.
#pragma once

#include "launcher/window/WindowBackend.h"

#include <windows.h>

#include <exdisp.h>
#include <mshtmhst.h>
#include <ole2.h>

#include <functional>
#include <string>

class CWebBrowserHost : public IPageView,
                        public IOleClientSite,
                        public IOleInPlaceSite,
                        public IOleInPlaceFrame,
                        public IDocHostUIHandler,
                        public IDispatch
{
public:
    struct Events
    {
        // Before every navigation of the view; true cancels it.
        std::function<bool(const std::string& url)> beforeNavigate;
        std::function<void()> documentComplete;
        std::function<void(const std::string& url, long status)> navigateError;
    };

    CWebBrowserHost(HWND parent, Events events);
    virtual ~CWebBrowserHost();
    CWebBrowserHost(const CWebBrowserHost&) = delete;
    CWebBrowserHost& operator=(const CWebBrowserHost&) = delete;

    // Creates the control and activates it in place; false when the system has none.
    bool create();
    bool active() const { return m_browser != nullptr; }
    // The control's own window, or null.
    HWND controlWindow() const;
    // Moves and sizes the control inside the parent; 0 by 0 hides it.
    void setRect(const RECT& rect);
    // Gives a key message to the control first; true when it used it.
    bool translateAccelerator(MSG* msg);

    // IPageView
    void navigate(const std::string& url) override;
    void stop() override;
    std::string currentUrl() const override;
    void setElementHtml(const std::string& id, const std::string& html) override;
    void appendElementHtml(const std::string& id, const std::string& html) override;
    void setFirstStyleSheet(const std::string& cssText) override;

    // IUnknown: the host lives as long as its owner, not by reference count.
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** container) override;
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow (for the in-place site and the frame)
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO info) override;
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
    STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
    STDMETHODIMP OnPosRectChange(LPCRECT rect) override;

    // IOleInPlaceUIWindow and IOleInPlaceFrame
    STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR) override;
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

    // IDocHostUIHandler: no context menu, no 3D border, no scroll bars.
    STDMETHODIMP ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) override { return S_OK; }
    STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* info) override;
    STDMETHODIMP ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                        IOleInPlaceUIWindow*) override
    {
        return S_OK;
    }
    STDMETHODIMP HideUI() override { return S_OK; }
    STDMETHODIMP UpdateUI() override { return S_OK; }
    STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, const GUID*, DWORD) override { return S_FALSE; }
    STDMETHODIMP GetOptionKeyPath(LPOLESTR*, DWORD) override { return S_FALSE; }
    STDMETHODIMP GetDropTarget(IDropTarget*, IDropTarget**) override { return E_NOTIMPL; }
    STDMETHODIMP GetExternal(IDispatch** external) override;
    STDMETHODIMP TranslateUrl(DWORD, LPWSTR, LPWSTR* out) override;
    STDMETHODIMP FilterDataObject(IDataObject*, IDataObject** out) override;

    // IDispatch: the DWebBrowserEvents2 sink.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override;

private:
    bool isTopFrame(const VARIANT& frame) const;
    void destroy();

    HWND m_parent;
    Events m_events;
    RECT m_rect{};
    IOleObject* m_oleObject = nullptr;
    IOleInPlaceObject* m_inPlace = nullptr;
    IOleInPlaceActiveObject* m_activeObject = nullptr;
    IWebBrowser2* m_browser = nullptr;
    IConnectionPoint* m_eventsPoint = nullptr;
    DWORD m_eventsCookie = 0;
    bool m_failed = false;
};
