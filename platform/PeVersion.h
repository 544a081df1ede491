// The version resource of a PE file (an .exe or .dll), read without the
// system's help: Linux has no version functions for Windows libraries.
#pragma once

#include <cstdint>
#include <string>

namespace platform
{

// The MS and LS words of the fixed file information in the file's version
// resource. False for anything else: a missing or cut file, a file that is
// not a PE image, an image without a version resource.
bool readPeFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls);

} // namespace platform
