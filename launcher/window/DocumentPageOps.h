// The page operations over a document object model, for backends whose engine
// offers elements and style sheets rather than scripts (the WebBrowser
// control). The logic is here, toolkit-free; a backend supplies the document.
#pragma once

#include <string>

// One loaded document, in UTF-16 as the engine wants it.
class IPageDocument
{
public:
    virtual ~IPageDocument() = default;
    // The inner HTML of the first element with the id (empty when it has none);
    // false when there is no such element.
    virtual bool getInnerHtml(const std::u16string& id, std::u16string& html) = 0;
    // False when there is no such element or the engine refuses the text.
    virtual bool setInnerHtml(const std::u16string& id, const std::u16string& html) = 0;
    virtual long styleSheetCount() = 0;
    virtual bool setStyleSheetText(long index, const std::u16string& cssText) = 0;
};

// UTF-8 to UTF-16; a byte that does not start a valid sequence becomes U+FFFD.
std::u16string utf8ToUtf16(const std::string& text);

// Each does nothing without a document, an element or a style sheet.
void documentSetElementHtml(IPageDocument* document, const std::string& id, const std::string& html);
void documentAppendElementHtml(IPageDocument* document, const std::string& id, const std::string& html);
void documentSetFirstStyleSheet(IPageDocument* document, const std::string& cssText);
