#include "platform/TextEncoding.h"

#include <iconv.h>

namespace platform
{

std::string cp1251ToUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    iconv_t cd = iconv_open("UTF-8", "WINDOWS-1251");
    if (cd == reinterpret_cast<iconv_t>(-1))
    {
        // No converter: keep ASCII and mark the rest, so the result stays valid.
        for (char c : text)
            out += (static_cast<unsigned char>(c) < 0x80) ? std::string(1, c) : std::string("\xEF\xBF\xBD");
        return out;
    }
    // One byte at a time: 0x98 is undefined in the code page and must not stop
    // the rest of the text from being converted.
    for (char c : text)
    {
        char in = c;
        char buf[8];
        char* inPtr = &in;
        size_t inLeft = 1;
        char* outPtr = buf;
        size_t outLeft = sizeof buf;
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1))
        {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            out += "\xEF\xBF\xBD";
        }
        else
        {
            out.append(buf, static_cast<size_t>(outPtr - buf));
        }
    }
    iconv_close(cd);
    return out;
}

} // namespace platform
