// SHA-256 of what a file holds on disk, for the signer and for a download
// continued from a part kept on disk.
#pragma once

#include <cstdint>

#include "platform/Crypto.h"

// Adds the first `length` bytes of the file (all of it when length is
// UINT64_MAX) to the hash. False when the file cannot be opened or read, or
// is shorter than length.
bool addFileToSha256(const char* path, uint64_t length, platform::CSha256& into);
