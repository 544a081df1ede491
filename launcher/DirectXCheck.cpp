#include "launcher/DirectXCheck.h"

#include "platform/Files.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

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

namespace
{

// Bounds-checked little-endian reads over a file image.
class Image
{
public:
    explicit Image(std::vector<unsigned char> bytes) : m_data(std::move(bytes)) {}
    bool has(uint64_t offset, uint64_t size) const
    {
        return offset <= m_data.size() && size <= m_data.size() - offset;
    }
    uint16_t u16(uint64_t at) const { return static_cast<uint16_t>(m_data[at] | m_data[at + 1] << 8); }
    uint32_t u32(uint64_t at) const
    {
        return static_cast<uint32_t>(m_data[at]) | static_cast<uint32_t>(m_data[at + 1]) << 8 |
               static_cast<uint32_t>(m_data[at + 2]) << 16 | static_cast<uint32_t>(m_data[at + 3]) << 24;
    }

private:
    std::vector<unsigned char> m_data;
};

struct Section
{
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

// Maps a relative virtual address to a file offset through the section table.
bool rvaToOffset(const std::vector<Section>& sections, uint32_t rva, uint64_t& offset)
{
    for (const Section& s : sections)
    {
        uint32_t span = s.virtualSize ? s.virtualSize : s.rawSize;
        if (rva >= s.virtualAddress && rva - s.virtualAddress < span && rva - s.virtualAddress < s.rawSize)
        {
            offset = static_cast<uint64_t>(s.rawOffset) + (rva - s.virtualAddress);
            return true;
        }
    }
    return false;
}

// The entry of a resource directory with the given id, or the first one when
// id is negative. Returns the entry's raw offset word.
bool findResourceEntry(const Image& img, uint64_t dirOffset, int id, uint32_t& target)
{
    if (!img.has(dirOffset, 16))
        return false;
    uint32_t named = img.u16(dirOffset + 12);
    uint32_t ids = img.u16(dirOffset + 14);
    for (uint32_t i = 0; i < named + ids; ++i)
    {
        uint64_t e = dirOffset + 16 + 8ull * i;
        if (!img.has(e, 8))
            return false;
        uint32_t name = img.u32(e);
        bool isId = (name & 0x80000000u) == 0;
        if (id < 0 || (isId && name == static_cast<uint32_t>(id)))
        {
            target = img.u32(e + 4);
            return true;
        }
    }
    return false;
}

constexpr uint32_t RT_VERSION = 16;
constexpr uint32_t VS_FFI_SIGNATURE = 0xFEEF04BD;
constexpr uint64_t MAX_IMAGE_SIZE = 256ull << 20;

} // namespace

bool getFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size <= 0 || static_cast<uint64_t>(size) > MAX_IMAGE_SIZE)
        return false;
    in.seekg(0);
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size))
        return false;
    Image img(std::move(bytes));

    if (!img.has(0, 64) || img.u16(0) != 0x5A4D)
        return false;
    uint64_t pe = img.u32(0x3C);
    if (!img.has(pe, 24) || img.u32(pe) != 0x00004550)
        return false;
    uint32_t sectionCount = img.u16(pe + 6);
    uint32_t optionalSize = img.u16(pe + 20);
    uint64_t opt = pe + 24;
    if (!img.has(opt, optionalSize) || optionalSize < 2)
        return false;
    uint16_t magic = img.u16(opt);
    uint64_t countAt = magic == 0x20B ? 108 : magic == 0x10B ? 92 : 0;
    if (countAt == 0 || optionalSize < countAt + 4)
        return false;
    uint32_t dirCount = img.u32(opt + countAt);
    uint64_t resDirEntry = opt + countAt + 4 + 2 * 8;
    if (dirCount < 3 || resDirEntry + 8 > opt + optionalSize)
        return false;
    uint32_t resRva = img.u32(resDirEntry);
    if (resRva == 0)
        return false;

    std::vector<Section> sections;
    uint64_t sec = opt + optionalSize;
    for (uint32_t i = 0; i < sectionCount; ++i, sec += 40)
    {
        if (!img.has(sec, 40))
            return false;
        sections.push_back({img.u32(sec + 12), img.u32(sec + 8), img.u32(sec + 20), img.u32(sec + 16)});
    }
    uint64_t resBase = 0;
    if (!rvaToOffset(sections, resRva, resBase))
        return false;

    // Type, then name, then language; the first two levels point at directories.
    uint32_t entry = 0;
    if (!findResourceEntry(img, resBase, RT_VERSION, entry) || !(entry & 0x80000000u))
        return false;
    if (!findResourceEntry(img, resBase + (entry & 0x7FFFFFFFu), -1, entry) || !(entry & 0x80000000u))
        return false;
    if (!findResourceEntry(img, resBase + (entry & 0x7FFFFFFFu), -1, entry) || (entry & 0x80000000u))
        return false;
    uint64_t dataEntry = resBase + entry;
    if (!img.has(dataEntry, 16))
        return false;
    uint32_t dataRva = img.u32(dataEntry);
    uint32_t dataSize = img.u32(dataEntry + 4);
    uint64_t block = 0;
    if (!rvaToOffset(sections, dataRva, block) || !img.has(block, dataSize))
        return false;

    // VS_VERSIONINFO: length, value length, type, the key "VS_VERSION_INFO" in
    // UTF-16, padding to 32 bits, then the fixed file information.
    static const char key[] = "VS_VERSION_INFO";
    uint64_t keyAt = block + 6;
    uint64_t fixed = (keyAt + sizeof key * 2 - block + 3) / 4 * 4 + block;
    if (dataSize < fixed - block + 52 || img.u16(block + 2) < 52)
        return false;
    for (size_t i = 0; i < sizeof key; ++i)
        if (img.u16(keyAt + 2 * i) != static_cast<unsigned char>(key[i]))
            return false;
    if (img.u32(fixed) != VS_FFI_SIGNATURE)
        return false;
    ms = img.u32(fixed + 8);
    ls = img.u32(fixed + 12);
    return true;
}

std::optional<std::string> wineSystemDirectory()
{
    std::string prefix;
    if (const char* p = std::getenv("WINEPREFIX"); p && *p)
        prefix = p;
    else if (const char* home = std::getenv("HOME"); home && *home)
        prefix = std::string(home) + "/.wine";
    else
        return std::nullopt;
    std::string dir = prefix + "/drive_c/windows/system32";
    platform::FileStatus st;
    if (!platform::fileStatus(dir.c_str(), st) || st.kind != platform::FileKind::Folder)
        return std::nullopt;
    return dir;
}

std::optional<std::string> CSystemDxProvider::getSystemDirectory()
{
    return wineSystemDirectory();
}

bool CSystemDxProvider::getFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls)
{
    return ::getFileVersion(path, ms, ls);
}
