#include "launcher/window/HtmlDocumentWin32.h"

namespace
{

BSTR toBstr(const std::u16string& text)
{
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
}

} // namespace

CHtmlDocument::CHtmlDocument(IWebBrowser2* browser)
{
    IDispatch* dispatch = nullptr;
    if (!browser || FAILED(browser->get_Document(&dispatch)) || !dispatch)
        return;
    dispatch->QueryInterface(IID_IHTMLDocument2, reinterpret_cast<void**>(&m_document2));
    dispatch->QueryInterface(IID_IHTMLDocument3, reinterpret_cast<void**>(&m_document3));
    dispatch->Release();
}

CHtmlDocument::~CHtmlDocument()
{
    if (m_document3)
        m_document3->Release();
    if (m_document2)
        m_document2->Release();
}

// The first element with the id, as document.all.item(id, 0) finds it: by id, else by name.
IHTMLElement* CHtmlDocument::element(const std::u16string& id)
{
    IHTMLElement* found = nullptr;
    BSTR key = toBstr(id);
    if (m_document3)
        m_document3->getElementById(key, &found);
    if (!found && m_document2)
    {
        IHTMLElementCollection* all = nullptr;
        if (SUCCEEDED(m_document2->get_all(&all)) && all)
        {
            VARIANT name, index;
            VariantInit(&name);
            name.vt = VT_BSTR;
            name.bstrVal = key;
            VariantInit(&index);
            index.vt = VT_I4;
            index.lVal = 0;
            IDispatch* item = nullptr;
            if (SUCCEEDED(all->item(name, index, &item)) && item)
            {
                item->QueryInterface(IID_IHTMLElement, reinterpret_cast<void**>(&found));
                item->Release();
            }
            all->Release();
        }
    }
    SysFreeString(key);
    return found;
}

bool CHtmlDocument::getInnerHtml(const std::u16string& id, std::u16string& html)
{
    IHTMLElement* e = element(id);
    if (!e)
        return false;
    BSTR text = nullptr;
    html.clear();
    if (SUCCEEDED(e->get_innerHTML(&text)) && text)
        html.assign(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
    SysFreeString(text);
    e->Release();
    return true;
}

bool CHtmlDocument::setInnerHtml(const std::u16string& id, const std::u16string& html)
{
    IHTMLElement* e = element(id);
    if (!e)
        return false;
    BSTR text = toBstr(html);
    bool ok = SUCCEEDED(e->put_innerHTML(text));
    SysFreeString(text);
    e->Release();
    return ok;
}

long CHtmlDocument::styleSheetCount()
{
    IHTMLStyleSheetsCollection* sheets = nullptr;
    long count = 0;
    if (m_document2 && SUCCEEDED(m_document2->get_styleSheets(&sheets)) && sheets)
    {
        sheets->get_length(&count);
        sheets->Release();
    }
    return count;
}

bool CHtmlDocument::setStyleSheetText(long index, const std::u16string& cssText)
{
    IHTMLStyleSheetsCollection* sheets = nullptr;
    if (!m_document2 || FAILED(m_document2->get_styleSheets(&sheets)) || !sheets)
        return false;
    VARIANT at, result;
    VariantInit(&at);
    at.vt = VT_I4;
    at.lVal = index;
    VariantInit(&result);
    bool ok = false;
    if (SUCCEEDED(sheets->item(&at, &result)) && result.vt == VT_DISPATCH && result.pdispVal)
    {
        IHTMLStyleSheet* sheet = nullptr;
        if (SUCCEEDED(result.pdispVal->QueryInterface(IID_IHTMLStyleSheet, reinterpret_cast<void**>(&sheet))))
        {
            BSTR text = toBstr(cssText);
            ok = SUCCEEDED(sheet->put_cssText(text));
            SysFreeString(text);
            sheet->Release();
        }
    }
    VariantClear(&result);
    sheets->Release();
    return ok;
}
