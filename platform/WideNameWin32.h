// File names for the system's wide-character calls; used by the Win32
// implementations only.
#pragma once

#include <windows.h>

#include <string>

namespace platform
{

// Names are UTF-8 in our build; a name that is not is taken in the ANSI code page.
inline std::wstring widenName(const char* text)
{
    UINT page = CP_UTF8;
    int n = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 0)
    {
        page = CP_ACP;
        n = MultiByteToWideChar(page, 0, text, -1, nullptr, 0);
    }
    std::wstring out(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(page, 0, text, -1, out.data(), n);
    out.resize(n > 0 ? size_t(n - 1) : 0);
    return out;
}

} // namespace platform
