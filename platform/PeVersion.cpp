#include "platform/PeVersion.h"

#include <fstream>
#include <vector>

namespace platform
{

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

bool readPeFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls)
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

} // namespace platform
