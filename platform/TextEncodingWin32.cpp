#include "platform/TextEncoding.h"

#include <windows.h>

namespace platform
{

std::string cp1251ToUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    // One byte at a time: a byte the code page leaves undefined becomes U+FFFD.
    for (char c : text)
    {
        // The system maps the code page's one undefined byte to U+0098.
        wchar_t wide = 0xFFFD;
        if (static_cast<unsigned char>(c) != 0x98 &&
            MultiByteToWideChar(1251, MB_ERR_INVALID_CHARS, &c, 1, &wide, 1) != 1)
            wide = 0xFFFD;
        char buffer[4];
        int n = WideCharToMultiByte(CP_UTF8, 0, &wide, 1, buffer, sizeof buffer, nullptr, nullptr);
        if (n <= 0)
            out += "\xEF\xBF\xBD";
        else
            out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

} // namespace platform
