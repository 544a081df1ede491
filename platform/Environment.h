// Environment variables, looked up as Windows does: without regard to case.
#pragma once

#include <string>

namespace platform
{

// True and the value when a variable of that name is set; an exact-case match
// wins over others that differ only in case.
bool getEnvironmentVariable(const char* name, std::string& value);

// Sets or removes a variable of this process (for tests, and for tools that
// pass settings to programs they start); true on success.
bool setEnvironmentVariable(const char* name, const char* value);
bool unsetEnvironmentVariable(const char* name);

} // namespace platform
