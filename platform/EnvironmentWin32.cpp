#include "platform/Environment.h"

#include <windows.h>

#include <cstdlib>

#include <vector>

namespace platform
{

bool getEnvironmentVariable(const char* name, std::string& value)
{
    if (!name || !*name)
        return false;
    // The system looks names up without regard to case already.
    std::vector<char> buffer(256);
    for (;;)
    {
        DWORD n = GetEnvironmentVariableA(name, buffer.data(), DWORD(buffer.size()));
        if (n == 0)
        {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND)
                return false;
            value.clear();
            return true;
        }
        if (n < buffer.size())
        {
            value.assign(buffer.data(), n);
            return true;
        }
        buffer.resize(n);
    }
}

// Both the system's block and the C runtime's copy, which getenv and the
// time zone (TZ) read.
bool setEnvironmentVariable(const char* name, const char* value)
{
    return SetEnvironmentVariableA(name, value) && _putenv_s(name, value) == 0;
}

bool unsetEnvironmentVariable(const char* name)
{
    SetEnvironmentVariableA(name, nullptr);
    return _putenv_s(name, "") == 0;
}

} // namespace platform
