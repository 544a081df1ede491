// Detection of the installed DirectX version. The DxDiag provider is asked
// first; when it cannot answer, the version is derived from the file versions
// of well-known system libraries. Everything the check reads from the system
// goes through IDxProvider so the algorithm runs against fakes in tests.
#pragma once

#include "platform/DxDiag.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Packed major * 65536 + minor * 256 + letter index (a = 1 ... z = 26).
constexpr uint32_t DX_VERSION_9_0C = 0x00090003;

uint32_t packDirectXVersion(unsigned major, unsigned minor, char letter);

using DxDiagInfo = platform::DxDiagInfo;

class IDxProvider
{
public:
    virtual ~IDxProvider() = default;
    virtual DxDiagInfo readDxDiag() = 0;
    // The folder of the system libraries, or nothing when it cannot be read.
    virtual std::optional<std::string> getSystemDirectory() = 0;
    // The fixed file-version words of a library; false when they cannot be read.
    virtual bool getFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls) = 0;
};

// ' ' stands for "no letter" in every letter out-parameter below.
bool queryDxDiagVersion(IDxProvider& provider, unsigned& major, unsigned& minor, char& letter);
bool probeDllVersions(IDxProvider& provider, unsigned& major, unsigned& minor, char& letter);

// Success unless both ways fail. The text, when a buffer is given, is "9.0" or
// "9.0c", cut to the buffer and always terminated.
bool getDirectXVersion(IDxProvider& provider, uint32_t* packed, char* text, size_t textSize);

// Reads the fixed version information from a PE file's version resource.
bool getFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls);

// The system's answers (platform/DxDiag.h): on Windows the DxDiag provider,
// the system directory and the version resources; on Linux no DxDiag and the
// Wine prefix's system32, where the game client's libraries live.
class CSystemDxProvider : public IDxProvider
{
public:
    DxDiagInfo readDxDiag() override;
    std::optional<std::string> getSystemDirectory() override;
    bool getFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls) override;
};

// The system library folder; on Linux the Wine prefix's system32 folder
// ($WINEPREFIX, else ~/.wine), or nothing when there is none: without it
// there is no DirectX to check.
std::optional<std::string> wineSystemDirectory();
