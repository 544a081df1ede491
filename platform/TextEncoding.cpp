#include "platform/TextEncoding.h"

#include <cstdint>

namespace platform
{

namespace
{

bool isContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

} // namespace

bool isValidUtf8(std::string_view text)
{
    size_t i = 0;
    const size_t n = text.size();
    while (i < n)
    {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra;
        uint32_t cp;
        if (c < 0x80)
        {
            ++i;
            continue;
        }
        else if (c >= 0xC2 && c <= 0xDF)
        {
            extra = 1;
            cp = c & 0x1F;
        }
        else if (c >= 0xE0 && c <= 0xEF)
        {
            extra = 2;
            cp = c & 0x0F;
        }
        else if (c >= 0xF0 && c <= 0xF4)
        {
            extra = 3;
            cp = c & 0x07;
        }
        else
        {
            return false;
        }
        if (n - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k)
        {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if (!isContinuation(d))
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF.
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string toUtf8FromLegacy(std::string_view text)
{
    if (isValidUtf8(text))
        return std::string(text);
    return cp1251ToUtf8(text);
}

size_t utf8CutLength(std::string_view text, size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text.size();
    size_t cut = maxBytes;
    while (cut > 0 && isContinuation(static_cast<unsigned char>(text[cut])))
        --cut;
    return cut;
}

} // namespace platform
