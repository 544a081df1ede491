#include "platform/DxDiag.h"

#include "platform/Files.h"
#include "platform/PeVersion.h"

#include <cstdlib>

namespace platform
{

DxDiagInfo queryDxDiagSystemInfo()
{
    return {};
}

std::optional<std::string> systemLibraryFolder()
{
    std::string prefix;
    if (const char* p = std::getenv("WINEPREFIX"); p && *p)
        prefix = p;
    else if (const char* home = std::getenv("HOME"); home && *home)
        prefix = std::string(home) + "/.wine";
    else
        return std::nullopt;
    std::string dir = prefix + "/drive_c/windows/system32";
    FileStatus st;
    if (!fileStatus(dir.c_str(), st) || st.kind != FileKind::Folder)
        return std::nullopt;
    return dir;
}

bool libraryFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls)
{
    return readPeFileVersion(path, ms, ls);
}

} // namespace platform
