// A folder only this process's user may change, for data the server trusts
// again after a restart (its cache of packed files), and files created in it
// that no one can have prepared beforehand.
#pragma once

#include <cstdio>
#include <string>

namespace platform
{

// Creates the folder when missing (its parents as needed; the folder itself
// for the owner alone) and checks it: a folder, not a link to one, owned by
// this process's user and not writable by anyone else. False with the reason
// in why. On Windows, where ownership is a matter of access lists, only the
// first two are checked.
bool ensurePrivateFolder(const char* path, std::string& why);

// Creates a file that must not exist yet, without following a link at the
// name, readable and writable by its owner alone, and opens it for binary
// writing; nullptr with errno.
FILE* createExclusiveFile(const char* path);

} // namespace platform
