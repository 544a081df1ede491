// Opening a file for writing where a planted link could point elsewhere: the
// installation folder and the folder of the daily log are writable by others'
// programs, and a link at the name would carry our bytes to its target.
#pragma once

#include <cstdio>

namespace platform
{

// What to do about a link at the name.
enum class AtLink
{
    Refuse,  // fail with ELOOP
    Replace, // remove the link (never its target) and make a file of our own
};

// fopen with mode "wb", "ab" or "r+b" on the path exactly as given, except
// that a symbolic link (or other reparse point) at the name is never followed
// and anything but a regular file is refused: nullptr with errno set (ELOOP
// for a link, EINVAL for a device, pipe or folder).
FILE* openFileNoFollow(const char* path, const char* mode, AtLink atLink = AtLink::Refuse);

} // namespace platform
