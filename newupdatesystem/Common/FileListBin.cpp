// The binary list format, shared with the update servers and with the list
// files of existing installations. All numbers little-endian.
//
//   header  "List", version 102, fileCount, folderCount, totalSize (64-bit)
//   block   "Fold", count, then count entry records, then the blocks of the
//           sub-folders in name order, depth first
//   record  "File", size, checksum[16], time (low 32 bits), flags, nameLength,
//           name and one zero byte
//
// Version 103 differs only in a 64-bit size. It is written only when a file
// is too large for 102, so every list that fits the old format keeps its bytes
// and its readers.
#include <cstring>

#include "newupdatesystem/Common/BinFile.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/FileReplacer.h"

namespace
{
constexpr uint32_t tag(const char (&s)[5])
{
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

constexpr uint32_t kTagList = tag("List");
constexpr uint32_t kTagFold = tag("Fold");
constexpr uint32_t kTagFile = tag("File");
static_assert(kTagList == 0x7473694C && kTagFold == 0x646C6F46 && kTagFile == 0x656C6946);

constexpr uint32_t kListVersion = 102;
constexpr uint32_t kWideListVersion = 103;
constexpr uint32_t kHeaderSize = 24;
constexpr uint32_t kBlockHeadSize = 8;

// Where a record's fields lie in either version.
struct RecordLayout
{
    bool wide;
    uint32_t checksum, time, flags, nameLength, fixedSize; // fixedSize: up to the name

    static RecordLayout of(bool wide)
    {
        return wide ? RecordLayout{true, 12, 28, 32, 36, 40} : RecordLayout{false, 8, 24, 28, 32, 36};
    }
};
// Every level adds at least two characters ("x/") to a path of at most 511,
// so no usable list nests deeper; the limit also bounds the recursion.
constexpr uint32_t kMaxDepth = 256;

uint32_t get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

bool needsWide(const FolderMap& map)
{
    for (const auto& [name, entry] : map)
    {
        if (entry.child ? needsWide(*entry.child) : entry.size > kMaxListFileSize)
            return true;
    }
    return false;
}

// A name from a list must stay one component inside its folder.
bool hostileName(std::string_view name)
{
    return name == "." || name == ".." || name.find_first_of("/\\") != std::string_view::npos;
}

uint32_t blockSize(const FolderMap& map, const RecordLayout& r)
{
    uint32_t size = kBlockHeadSize;
    for (const auto& [name, entry] : map)
    {
        size += r.fixedSize + 1 + uint32_t(name.size());
        if (entry.child)
            size += blockSize(*entry.child, r);
    }
    return size;
}

uint8_t* writeBlock(const FolderMap& map, uint8_t* p, const RecordLayout& r)
{
    put32(p, kTagFold);
    put32(p + 4, uint32_t(map.size()));
    p += kBlockHeadSize;
    for (const auto& [name, entry] : map)
    {
        put32(p, kTagFile);
        if (entry.child)
        {
            put32(p + r.flags, entry.flags); // size, checksum and time stay 0
        }
        else
        {
            put32(p + 4, uint32_t(entry.size));
            if (r.wide)
                put32(p + 8, uint32_t(entry.size >> 32));
            for (uint32_t i = 0; i < 4; ++i)
                put32(p + r.checksum + 4 * i, entry.checksum[i]);
            put32(p + r.time, uint32_t(uint64_t(entry.time)));
            put32(p + r.flags, entry.flags & ~FI_CHECKSUM);
        }
        put32(p + r.nameLength, uint32_t(name.size()));
        std::memcpy(p + r.fixedSize, name.data(), name.size());
        p += r.fixedSize + 1 + name.size(); // the zero byte is already there
    }
    for (const auto& [name, entry] : map)
    {
        if (entry.child)
            p = writeBlock(*entry.child, p, r);
    }
    return p;
}
} // namespace

void CFileList::createFromBin(const void* buffer, uint32_t length)
{
    clear();
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    if (length < kHeaderSize || length > kMaxListBytes || !bytes)
        throw CFileListExcep(FLIST_OPEN_NOT_A_LIST, EXCEP_HERE());
    if (get32(bytes) != kTagList)
        throw CFileListExcep(FLIST_OPEN_NOT_A_LIST, EXCEP_HERE());
    const uint32_t version = get32(bytes + 4);
    if (version != kListVersion && version != kWideListVersion)
        throw CFileListExcep(FLIST_OPEN_VERSION, EXCEP_HERE());
    const uint32_t files = get32(bytes + 8);
    const uint32_t folders = get32(bytes + 12);
    const uint64_t size = uint64_t(get32(bytes + 16)) | uint64_t(get32(bytes + 20)) << 32;
    if (files > kMaxListFiles || folders > kMaxListFolders)
        throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());

    // The header's counts serve as limits while parsing, so a hostile buffer
    // cannot make us build more entries than it announces.
    m_expectedFiles = files;
    m_expectedFolders = folders;
    uint32_t pos = kHeaderSize;
    try
    {
        parseBinRecursive(root, bytes, length, pos, 0, version == kWideListVersion);
    }
    catch (...)
    {
        clear();
        throw;
    }
    if (pos != length || fileCount != files || folderCount != folders || totalSize != size)
    {
        clear();
        throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());
    }
}

void CFileList::parseBinRecursive(FolderMap& map, const uint8_t* buffer, uint32_t length, uint32_t& pos,
                                  uint32_t depth, bool wide)
{
    const RecordLayout r = RecordLayout::of(wide);
    if (uint64_t(pos) + kBlockHeadSize > length)
        throw CFileListExcep(FLIST_OPEN_NOT_A_LIST, EXCEP_HERE());
    const uint32_t count = get32(buffer + pos + 4);
    if (get32(buffer + pos) != kTagFold || count > kMaxFolderEntries || depth > kMaxDepth)
        throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());
    pos += kBlockHeadSize;

    for (uint32_t i = 0; i < count; ++i)
    {
        const uint8_t* rec = buffer + pos;
        if (uint64_t(pos) + r.fixedSize > length || get32(rec) != kTagFile)
            throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());
        const uint64_t size =
            wide ? uint64_t(get32(rec + 4)) | uint64_t(get32(rec + 8)) << 32 : get32(rec + 4);
        const uint32_t flags = get32(rec + r.flags);
        const uint32_t nameLength = get32(rec + r.nameLength);
        if (size > (wide ? kMaxWideFileSize : kMaxListFileSize) || nameLength == 0 ||
            nameLength > kMaxNameLength)
            throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());
        if (uint64_t(pos) + r.fixedSize + 1 + nameLength > length)
            throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());
        // The name must be exactly nameLength bytes, without a zero inside, and
        // end in one zero byte.
        const char* name = reinterpret_cast<const char*>(rec + r.fixedSize);
        if (name[nameLength] != 0 || std::memchr(name, 0, nameLength) != nullptr)
            throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());
        const std::string_view nameView(name, nameLength);
        if (hostileName(nameView))
            throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());
        pos += r.fixedSize + 1 + nameLength;

        FileEntry entry;
        if (flags & FI_FOLDER)
        {
            if (folderCount >= m_expectedFolders)
                throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());
            entry.flags = flags;
            entry.child = std::make_unique<FolderMap>();
        }
        else
        {
            if (fileCount >= m_expectedFiles)
                throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());
            entry.flags = (flags & ~FI_FOLDER) | FI_CHECKSUM;
            entry.size = size;
            for (int k = 0; k < 4; ++k)
                entry.checksum[k] = get32(rec + r.checksum + 4 * k);
            entry.time = int64_t(get32(rec + r.time)); // widened without sign
        }
        // Our writer never names an entry twice; a list that does could not
        // keep its counters true, so it is damaged.
        if (!map.try_emplace(std::string(nameView), std::move(entry)).second)
            throw CFileListExcep(FLIST_OPEN_CORRUPTED, EXCEP_HERE());
        if (flags & FI_FOLDER)
        {
            ++folderCount;
        }
        else
        {
            ++fileCount;
            totalSize += size;
        }
    }

    for (auto& [name, entry] : map)
    {
        if (entry.child)
            parseBinRecursive(*entry.child, buffer, length, pos, depth + 1, wide);
    }
}

void CFileList::createFromFile(const char* path)
{
    onListEvent(LE_READING, path, nullptr);
    CBinFile file(path, 0);
    const int32_t length = file.length();
    if (length < 0 || uint32_t(length) > kMaxListBytes)
    {
        clear();
        throw CFileListExcep(FLIST_OPEN_NOT_A_LIST, EXCEP_SITE("CFileList::createFromBin"));
    }
    std::vector<uint8_t> buffer(size_t(length) + 1); // never empty, so data() is valid
    file.read(buffer.data(), uint32_t(length));
    file.safeClose();
    createFromBin(buffer.data(), uint32_t(length));
}

void CFileList::buildBin()
{
    m_imageData.clear();
    m_imageData.shrink_to_fit();
    const RecordLayout r = RecordLayout::of(needsWide(root));
    m_imageData.assign(kHeaderSize + blockSize(root, r), 0);
    uint8_t* p = m_imageData.data();
    put32(p, kTagList);
    put32(p + 4, r.wide ? kWideListVersion : kListVersion);
    put32(p + 8, fileCount);
    put32(p + 12, folderCount);
    put32(p + 16, uint32_t(totalSize));
    put32(p + 20, uint32_t(totalSize >> 32));
    writeBlock(root, p + kHeaderSize, r);
}

void CFileList::saveToFile(const char* path)
{
    onListEvent(LE_WRITING, path, nullptr);
    // Written beside the old list and put in its place whole: a failure on the
    // way leaves the old list as it was.
    CFileReplacer file(path);
    file.write(m_imageData.data(), imageSize());
    file.commit();
}
