#include "platform/TextEncoding.h"

#include <windows.h>

std::string cp1251ToUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    // One byte at a time: a byte the code page leaves undefined (0x98) becomes
    // U+FFFD without stopping the rest of the text.
    for (char c : text)
    {
        wchar_t wide = 0;
        if (MultiByteToWideChar(1251, MB_ERR_INVALID_CHARS, &c, 1, &wide, 1) != 1)
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
