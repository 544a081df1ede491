#include "platform/Environment.h"

#include <stdlib.h>
#include <strings.h>

#include <cstring>

extern char** environ;

namespace platform
{

bool getEnvironmentVariable(const char* name, std::string& value)
{
    size_t nameLength = std::strlen(name);
    if (nameLength == 0 || !environ)
        return false;
    const char* found = nullptr;
    for (char** entry = environ; *entry; ++entry)
    {
        const char* e = *entry;
        if (std::strncmp(e, name, nameLength) == 0 && e[nameLength] == '=')
        {
            found = e;
            break;
        }
        if (!found && strncasecmp(e, name, nameLength) == 0 && e[nameLength] == '=')
            found = e;
    }
    if (!found)
        return false;
    value = found + nameLength + 1;
    return true;
}

bool setEnvironmentVariable(const char* name, const char* value)
{
    return setenv(name, value, 1) == 0;
}

bool unsetEnvironmentVariable(const char* name)
{
    return unsetenv(name) == 0;
}

} // namespace platform
