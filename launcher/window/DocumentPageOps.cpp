#include "launcher/window/DocumentPageOps.h"

std::u16string utf8ToUtf16(const std::string& text)
{
    std::u16string out;
    out.reserve(text.size());
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    for (size_t i = 0; i < text.size();)
    {
        unsigned char c = byte(i);
        size_t n = c < 0x80             ? 1
                   : (c & 0xE0) == 0xC0 ? 2
                   : (c & 0xF0) == 0xE0 ? 3
                   : (c & 0xF8) == 0xF0 ? 4
                                        : 0;
        char32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        bool valid = n != 0 && i + n <= text.size();
        for (size_t k = 1; valid && k < n; ++k)
        {
            valid = (byte(i + k) & 0xC0) == 0x80;
            cp = cp << 6 | (byte(i + k) & 0x3F);
        }
        static const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            valid = false;
        if (!valid)
        {
            out += u'\xFFFD';
            ++i;
            continue;
        }
        if (cp >= 0x10000)
        {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        }
        else
            out += static_cast<char16_t>(cp);
        i += n;
    }
    return out;
}

void documentSetElementHtml(IPageDocument* document, const std::string& id, const std::string& html)
{
    if (document)
        document->setInnerHtml(utf8ToUtf16(id), utf8ToUtf16(html));
}

// The joined text is not limited: cutting it would break the page's markup.
void documentAppendElementHtml(IPageDocument* document, const std::string& id, const std::string& html)
{
    if (!document)
        return;
    std::u16string key = utf8ToUtf16(id);
    std::u16string old;
    if (!document->getInnerHtml(key, old))
        return;
    document->setInnerHtml(key, old + utf8ToUtf16(html));
}

void documentSetFirstStyleSheet(IPageDocument* document, const std::string& cssText)
{
    if (document && document->styleSheetCount() > 0)
        document->setStyleSheetText(0, utf8ToUtf16(cssText));
}
