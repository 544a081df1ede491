// What the DirectX check reads from the system: the DxDiag provider's answer,
// the folder of the system libraries and the file versions of libraries in it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform
{

// The "DxDiag_SystemInfo" container of the DxDiag provider. A field that could
// not be read, or had the wrong type, is absent.
struct DxDiagInfo
{
    bool available = false;
    std::optional<uint32_t> major;
    std::optional<uint32_t> minor;
    std::optional<std::string> letter; // in the system's ANSI code page, at most 9 bytes
};

// Asks the DxDiag provider in process. COM is initialised for the calling
// thread around the query, and uninitialised after it only when that
// initialisation succeeded. Not available where there is no DxDiag (Linux).
DxDiagInfo queryDxDiagSystemInfo();

// The folder of the system libraries: the system directory on Windows; on
// Linux the Wine prefix's system32 ($WINEPREFIX, else ~/.wine), where the game
// client's libraries live. Nothing when there is none.
std::optional<std::string> systemLibraryFolder();

// The two words of the fixed file-version information of a library (MS:
// major and minor, LS: build and revision). False when they cannot be read.
bool libraryFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls);

} // namespace platform
