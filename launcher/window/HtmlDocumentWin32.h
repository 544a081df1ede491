// The document of a WebBrowser control as an IPageDocument: elements by id,
// their inner HTML, and the first style sheet's text, through IHTMLDocument2/3.
#pragma once

#include "launcher/window/DocumentPageOps.h"

#include <windows.h>

#include <exdisp.h>
#include <mshtml.h>

class CHtmlDocument : public IPageDocument
{
public:
    // Takes the browser's current document; invalid when it has none.
    explicit CHtmlDocument(IWebBrowser2* browser);
    ~CHtmlDocument() override;
    CHtmlDocument(const CHtmlDocument&) = delete;
    CHtmlDocument& operator=(const CHtmlDocument&) = delete;

    bool valid() const { return m_document2 != nullptr; }

    bool getInnerHtml(const std::u16string& id, std::u16string& html) override;
    bool setInnerHtml(const std::u16string& id, const std::u16string& html) override;
    long styleSheetCount() override;
    bool setStyleSheetText(long index, const std::u16string& cssText) override;

private:
    IHTMLElement* element(const std::u16string& id);

    IHTMLDocument2* m_document2 = nullptr;
    IHTMLDocument3* m_document3 = nullptr;
};
