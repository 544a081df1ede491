#include "platform/TextEncoding.h"

#include <cstdint>
#include <iconv.h>

namespace {

bool isContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

}

bool isValidUtf8(std::string_view text)
{
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
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

std::string cp1251ToUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    iconv_t cd = iconv_open("UTF-8", "WINDOWS-1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter: keep ASCII and mark the rest, so the result stays valid.
        for (char c : text)
            out += (static_cast<unsigned char>(c) < 0x80) ? std::string(1, c) : std::string("\xEF\xBF\xBD");
        return out;
    }
    // One byte at a time: 0x98 is undefined in the code page and must not stop
    // the rest of the text from being converted.
    for (char c : text) {
        char in = c;
        char buf[8];
        char* inPtr = &in;
        size_t inLeft = 1;
        char* outPtr = buf;
        size_t outLeft = sizeof buf;
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            out += "\xEF\xBF\xBD";
        } else {
            out.append(buf, static_cast<size_t>(outPtr - buf));
        }
    }
    iconv_close(cd);
    return out;
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
