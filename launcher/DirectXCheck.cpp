#include "launcher/DirectXCheck.h"

#include "platform/DxDiag.h"
#include "platform/PeVersion.h"

#include <cctype>
#include <cstdio>

uint32_t packDirectXVersion(unsigned major, unsigned minor, char letter)
{
    int c = std::tolower(static_cast<unsigned char>(letter));
    uint32_t index = (c >= 'a' && c <= 'z') ? static_cast<uint32_t>(c - 'a' + 1) : 0;
    return major * 65536u + minor * 256u + index;
}

bool queryDxDiagVersion(IDxProvider& provider, unsigned& major, unsigned& minor, char& letter)
{
    DxDiagInfo info = provider.readDxDiag();
    if (!info.available)
        return false;
    bool gotMajor = false, gotMinor = false, gotLetter = false;
    if (info.major)
    {
        major = *info.major;
        gotMajor = true;
    }
    if (info.minor)
    {
        minor = *info.minor;
        gotMinor = true;
    }
    if (info.letter && !info.letter->empty())
    {
        letter = (*info.letter)[0];
        gotLetter = true;
    }
    return gotMajor && gotMinor && gotLetter;
}

namespace
{

struct VersionRow
{
    const char* file; // null: the same file as the row before
    enum Test
    {
        AtLeast,
        ByMajor,
        Readable
    } test;
    uint32_t ms4, ls4; // AtLeast: the bound; ByMajor: the bound for major 4
    uint32_t ms5, ls5; // ByMajor: the bound for major 5
    unsigned major, minor;
    char letter;
};

const VersionRow versionTable[] = {
    {"ddraw.dll", VersionRow::AtLeast, 0x00040002, 95, 0, 0, 1, 0, ' '},
    {nullptr, VersionRow::AtLeast, 0x00040003, 1096, 0, 0, 2, 0, ' '},
    {nullptr, VersionRow::AtLeast, 0x00040004, 68, 0, 0, 3, 0, ' '},
    {"d3drg8x.dll", VersionRow::AtLeast, 0x00040004, 70, 0, 0, 3, 0, 'a'},
    {"ddraw.dll", VersionRow::AtLeast, 0x00040005, 155, 0, 0, 5, 0, ' '},
    {nullptr, VersionRow::AtLeast, 0x00040006, 318, 0, 0, 6, 0, ' '},
    {nullptr, VersionRow::AtLeast, 0x00040006, 436, 0, 0, 6, 1, ' '},
    {"dplayx.dll", VersionRow::AtLeast, 0x00040006, 0x00030206, 0, 0, 6, 1, 'a'},
    {"ddraw.dll", VersionRow::AtLeast, 0x00040007, 700, 0, 0, 7, 0, ' '},
    {"dinput.dll", VersionRow::AtLeast, 0x00040007, 716, 0, 0, 7, 0, 'a'},
    {"ddraw.dll", VersionRow::ByMajor, 0x00040008, 400, 0x00050001, 0x08D20190, 8, 0, ' '},
    {"d3d8.dll", VersionRow::ByMajor, 0x00040008, 0x00010371, 0x00050001, 0x0A280371, 8, 1, ' '},
    {nullptr, VersionRow::ByMajor, 0x00040008, 0x00010385, 0x00050001, 0x0A280385, 8, 1, 'a'},
    {"mpg2splt.ax", VersionRow::AtLeast, 0x00060003, 0x00010375, 0, 0, 8, 1, 'b'},
    {"dpnet.dll", VersionRow::ByMajor, 0x00040009, 134, 0x00050002, 0x0E5D0086, 8, 2, ' '},
    {"d3d9.dll", VersionRow::Readable, 0, 0, 0, 0, 9, 0, ' '},
};

bool atLeast(uint32_t ms, uint32_t ls, uint32_t x, uint32_t y)
{
    return ms > x || (ms == x && ls >= y);
}

} // namespace

bool probeDllVersions(IDxProvider& provider, unsigned& major, unsigned& minor, char& letter)
{
    major = 0;
    minor = 0;
    letter = ' ';
    std::optional<std::string> dir = provider.getSystemDirectory();
    if (!dir || dir->size() > 260)
        return true;

    bool readable = false;
    uint32_t ms = 0, ls = 0;
    for (const VersionRow& row : versionTable)
    {
        if (row.file)
        {
            std::string path = *dir + "/" + row.file;
            readable = path.size() <= 511 && provider.getFileVersion(path, ms, ls);
        }
        if (!readable)
            continue;
        bool match = false;
        switch (row.test)
        {
        case VersionRow::AtLeast:
            match = atLeast(ms, ls, row.ms4, row.ls4);
            break;
        case VersionRow::ByMajor:
            match = (ms / 65536 == 4 && atLeast(ms, ls, row.ms4, row.ls4)) ||
                    (ms / 65536 == 5 && atLeast(ms, ls, row.ms5, row.ls5));
            break;
        case VersionRow::Readable:
            match = true;
            break;
        }
        if (!match)
            continue;
        major = row.major;
        minor = row.minor;
        letter = row.letter;
        if (row.test == VersionRow::Readable)
            break;
    }
    return true;
}

bool getDirectXVersion(IDxProvider& provider, uint32_t* packed, char* text, size_t textSize)
{
    if (packed)
        *packed = 0;
    if (text && textSize > 0)
        text[0] = '\0';
    unsigned major = 0, minor = 0;
    char letter = ' ';
    if (!queryDxDiagVersion(provider, major, minor, letter) &&
        !probeDllVersions(provider, major, minor, letter))
        return false;
    if (packed)
        *packed = packDirectXVersion(major, minor, letter);
    if (text && textSize > 0)
    {
        if (letter == ' ')
            std::snprintf(text, textSize, "%u.%u", major, minor);
        else
            std::snprintf(text, textSize, "%u.%u%c", major, minor,
                          std::tolower(static_cast<unsigned char>(letter)));
    }
    return true;
}

bool getFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls)
{
    return platform::readPeFileVersion(path, ms, ls);
}

std::optional<std::string> wineSystemDirectory()
{
    return platform::systemLibraryFolder();
}

DxDiagInfo CSystemDxProvider::readDxDiag()
{
    return platform::queryDxDiagSystemInfo();
}

std::optional<std::string> CSystemDxProvider::getSystemDirectory()
{
    return platform::systemLibraryFolder();
}

bool CSystemDxProvider::getFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls)
{
    return platform::libraryFileVersion(path, ms, ls);
}
