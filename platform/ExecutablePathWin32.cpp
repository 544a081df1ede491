#include "platform/ExecutablePath.h"

#include <windows.h>

#include <vector>

namespace platform
{

bool executablePath(std::string& out, size_t maxLength)
{
    std::vector<char> buffer(maxLength + 1);
    DWORD n = GetModuleFileNameA(nullptr, buffer.data(), DWORD(buffer.size()));
    if (n == 0)
        return false;
    // A path longer than the buffer comes back cut to it.
    out.assign(buffer.data(), n > maxLength ? maxLength : n);
    return true;
}

char executablePathSeparator()
{
    return '\\';
}

bool makeExecutable(const char*)
{
    // Windows runs a batch file by its name alone.
    return true;
}

} // namespace platform
