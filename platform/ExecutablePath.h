// The running program's own file, as the self-update needs it.
#pragma once

#include <cstddef>
#include <string>

namespace platform
{

// The full path of the running executable, at most maxLength bytes (longer
// paths are cut). False when the system cannot tell.
bool executablePath(std::string& out, size_t maxLength = 1024);

// The separator that ends the folder part of an executable path.
char executablePathSeparator();

// Lets the owner run the file as a program (the self-update script).
// False when the mode cannot be changed.
bool makeExecutable(const char* path);

} // namespace platform
