// Filling a list from a folder on disk, MD5 checksums, and the operations that
// address single entries by path.
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "newupdatesystem/Common/BinFile.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/Common/Wildcard.h"
#include "platform/Files.h"

namespace
{
// The checksum is read in pieces of this size, so memory stays small
// whatever the file's size.
constexpr uint32_t kChecksumChunk = 1u << 20;
// Larger files cannot be described even by a version 103 list.
constexpr uint64_t kMaxScannedSize = kMaxWideFileSize;

bool excludedFolder(const char* name)
{
    return std::strcmp(name, ".svn") == 0 || std::strcmp(name, "_svn") == 0;
}

// A file whose lower-cased name has at least four characters and ends in ".log".
bool excludedFile(const char* name, size_t length)
{
    return length >= 4 && std::memcmp(name + length - 4, ".log", 4) == 0;
}

// A component that names no entry of its own.
bool badComponent(const char* c)
{
    return c[0] == 0 || std::strcmp(c, ".") == 0 || std::strcmp(c, "..") == 0;
}

void storeDigest(FileInfo& info, const uint8_t digest[16])
{
    for (int i = 0; i < 4; ++i)
    {
        const uint8_t* d = digest + 4 * i;
        info.checksum[i] = uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
    }
}
} // namespace

void CFileList::scan(const char* folder, bool withChecksums)
{
    onListEvent(withChecksums ? LE_CRC_SCAN_STARTED : LE_SCAN_STARTED, folder, nullptr);
    clear();
    // The folder and the names below it are read as they are spelt on disk:
    // on a case-sensitive system a lower-cased path would have to be matched
    // against the disk again for every folder. The list itself holds the
    // lower-cased names.
    std::string path = folder;
    if (path.size() > kMaxPathLength)
        path.resize(kMaxPathLength);
    for (char& c : path)
    {
        if (c == '\\')
            c = '/';
    }
    scanRecursive(root, path, withChecksums);
    onListEvent(LE_SCAN_FINISHED, folder, nullptr);
}

void CFileList::scanRecursive(FolderMap& map, const std::string& folder, bool withChecksums)
{
    std::string prefix = folder;
    addTrailingSlash(prefix);

    platform::DirReader reader;
    if (!reader.open(folder.c_str()))
    {
        const int err = errno;
        throw CSystemExcep(FIND_FIRST, EK_ERRNO, err, prefix + "*.*", EXCEP_HERE());
    }
    // Names whose spelling on disk differs from the listed one.
    std::unordered_map<std::string, std::string> diskNames;
    platform::DirEntry item;
    while (reader.next(item))
    {
        const size_t length = std::strlen(item.name);
        // A longer name would be listed cut short and never be found again.
        if (length > kMaxNameLength)
        {
            logWarning("Skipped '%s%s': name longer than 127 characters", prefix.c_str(), item.name);
            continue;
        }
        // Lists use `\` as a separator, so such a name would turn into two.
        if (std::strchr(item.name, '\\') != nullptr)
        {
            logWarning("Skipped '%s%s': name holds a backslash", prefix.c_str(), item.name);
            continue;
        }
        if (prefix.size() + length > kMaxPathLength)
        {
            logWarning("Skipped '%s%s': path longer than 511 characters", prefix.c_str(), item.name);
            continue;
        }
        if (!item.folder && item.size > kMaxScannedSize)
        {
            logWarning("Skipped '%s%s': file larger than 64 TiB", prefix.c_str(), item.name);
            continue;
        }
        char name[NAME_BUFFER_SIZE];
        std::memcpy(name, item.name, length + 1);
        normalizePath(name);
        if (item.folder ? excludedFolder(name) : excludedFile(name, length))
        {
            if (!item.folder)
                onListEvent(LE_PASSED_OVER, (prefix + item.name).c_str(), nullptr);
            continue;
        }

        FileEntry entry;
        entry.size = item.size;
        entry.time = item.time;
        if (item.folder)
        {
            entry.flags = FI_FOLDER;
            entry.child = std::make_unique<FolderMap>();
        }
        auto [it, inserted] = map.try_emplace(name, std::move(entry));
        if (!inserted)
        {
            // Two names that differ only in case: the path operations reach
            // the one spelt in lower case, so that one is described.
            logWarning("Skipped one of the names '%s%s' that differ only in case", prefix.c_str(), name);
            if (std::strcmp(item.name, name) != 0)
                continue;
            removeEntry(map, it);
            it = map.try_emplace(name, std::move(entry)).first;
        }
        if (std::strcmp(item.name, name) != 0)
            diskNames[name] = item.name;
        else
            diskNames.erase(name);
        // Counted as soon as inserted, so the counters stay true when the scan
        // fails further on.
        if (item.folder)
        {
            ++folderCount;
        }
        else
        {
            ++fileCount;
            totalSize += it->second.size;
        }
    }
    if (errno != 0)
    {
        const int err = errno;
        throw CSystemExcep(FIND_FIRST, EK_ERRNO, err, prefix + "*.*", EXCEP_HERE());
    }
    reader.close();

    auto diskName = [&diskNames](const std::string& name) -> const std::string&
    {
        if (diskNames.empty())
            return name;
        auto found = diskNames.find(name);
        return found == diskNames.end() ? name : found->second;
    };
    if (withChecksums)
    {
        for (auto& [name, entry] : map)
        {
            if (!entry.child)
                computeChecksum(entry, folder.c_str(), diskName(name).c_str());
        }
    }
    for (auto& [name, entry] : map)
    {
        if (entry.child)
            scanRecursive(*entry.child, prefix + diskName(name), withChecksums);
    }
}

void CFileList::computeChecksum(FileInfo& info, const char* folder, const char* name)
{
    char path[PATH_BUFFER_SIZE];
    pathCopy(path, folder);
    addTrailingSlash(path);
    pathAppend(path, name);
    onListEvent(LE_CHECKSUM, path, &info);
    checksumFile(info, path);
}

void CFileList::checksumFile(FileInfo& info, const char* path)
{
    uint8_t digest[16] = {};
    if (info.size != 0)
    {
        CBinFile file(path, CBinFile::MODE_OPEN);
        const int64_t length = file.length64();
        if (length < 0)
            throw CSystemExcep(FILE_READ, EK_ERRNO, EFBIG, path, EXCEP_HERE());
        if (length > 0)
        {
            std::vector<uint8_t> buffer(size_t(std::min<uint64_t>(uint64_t(length), kChecksumChunk)));
            CMd5 md5;
            for (uint64_t left = uint64_t(length); left > 0;)
            {
                const uint32_t n = uint32_t(std::min<uint64_t>(left, kChecksumChunk));
                file.read(buffer.data(), n);
                md5.update(buffer.data(), n);
                left -= n;
            }
            md5.final(digest);
        }
        file.safeClose();
    }
    storeDigest(info, digest);
    info.flags |= FI_CHECKSUM;
}

const FileEntry* CFileList::findEntry(const char* path) const
{
    PathTokenizer tokenizer(path, true);
    const FolderMap* map = &root;
    for (;;)
    {
        if (!tokenizer.valid)
            throw CFileListExcep(FLIST_WRONG_FNAME, EXCEP_SITE("CFileList::getFileInfo"));
        auto it = map->find(tokenizer.component);
        if (it == map->end())
            return nullptr;
        if (!tokenizer.more || tokenizer.atEnd())
            return &it->second;
        if (!it->second.child)
            return nullptr;
        map = it->second.child.get();
        tokenizer.next();
    }
}

FileInfo CFileList::getFileInfo(const char* path, bool allowFolder)
{
    PathTokenizer tokenizer(path, true);
    const FolderMap* map = &root;
    for (;;)
    {
        if (!tokenizer.valid)
            throw CFileListExcep(FLIST_WRONG_FNAME, EXCEP_HERE());
        auto it = map->find(tokenizer.component);
        if (it == map->end())
            throw CFileListExcep(FLIST_NOT_FOUND, EXCEP_HERE());
        const FileEntry& entry = it->second;
        if (!tokenizer.more)
            return entry;
        if (!entry.child)
            throw CFileListExcep(FLIST_NOT_FOUND, EXCEP_HERE());
        if (tokenizer.atEnd())
        {
            if (!allowFolder)
                throw CFileListExcep(FLIST_NOT_FOUND, EXCEP_HERE());
            return entry;
        }
        map = entry.child.get();
        tokenizer.next();
    }
}

void CFileList::updateFileInfo(const char* path, const FileInfo& info)
{
    onListEvent(LE_UPDATE, path, &info);
    PathTokenizer tokenizer(path, true);
    FolderMap* map = &root;
    for (;;)
    {
        // An empty or dot name would make a list that no reader accepts.
        if (!tokenizer.valid || badComponent(tokenizer.component))
            throw CFileListExcep(FLIST_WRONG_FNAME, EXCEP_HERE());
        auto it = map->find(tokenizer.component);
        if (tokenizer.more)
        {
            if (it == map->end())
            {
                if (!(info.flags & FI_FOLDER))
                    throw CFileListExcep(FLIST_UPDATE_FILE, EXCEP_HERE());
                FileEntry folder;
                folder.flags = (info.flags & ~FI_CHECKSUM) | FI_FOLDER;
                folder.child = std::make_unique<FolderMap>();
                it = map->try_emplace(tokenizer.component, std::move(folder)).first;
                ++folderCount;
            }
            else if (!it->second.child)
            {
                throw CFileListExcep(FLIST_UPDATE_FILE, EXCEP_HERE());
            }
            map = it->second.child.get();
            if (tokenizer.atEnd())
                return;
            tokenizer.next();
            continue;
        }

        if ((info.flags & FI_FOLDER) || (it != map->end() && it->second.child))
            throw CFileListExcep(FLIST_UPDATE_FILE, EXCEP_HERE());
        if (it == map->end())
        {
            it = map->try_emplace(tokenizer.component).first;
            ++fileCount;
        }
        else
        {
            totalSize -= it->second.size;
        }
        FileEntry& entry = it->second;
        entry.flags = info.flags & ~FI_FOLDER;
        entry.size = info.size;
        entry.time = info.time;
        if (info.flags & FI_CHECKSUM)
            std::memcpy(entry.checksum, info.checksum, sizeof entry.checksum);
        else
            std::memset(entry.checksum, 0, sizeof entry.checksum);
        totalSize += entry.size;
        return;
    }
}

void CFileList::remove(const char* path)
{
    onListEvent(LE_REMOVE, path, nullptr);
    PathTokenizer tokenizer(path, true);
    removeRecursive(tokenizer);
}

void CFileList::removeRecursive(PathTokenizer& tokenizer)
{
    FolderMap* map = &root;
    for (;;)
    {
        if (!tokenizer.valid)
            throw CFileListExcep(FLIST_WRONG_FNAME, EXCEP_HERE());
        auto it = map->find(tokenizer.component);
        if (it == map->end())
            throw CFileListExcep(FLIST_REMOVE_FILE, EXCEP_HERE());
        const bool folder = it->second.child != nullptr;
        if (tokenizer.more != folder)
            throw CFileListExcep(FLIST_REMOVE_FILE, EXCEP_HERE());
        if (!folder || tokenizer.atEnd())
        {
            removeEntry(*map, it);
            return;
        }
        map = it->second.child.get();
        tokenizer.next();
    }
}

void CFileList::modifyRecursive(FolderMap& map, PathTokenizer& tokenizer, bool remove, uint32_t setBits,
                                uint32_t keepMask)
{
    if (!tokenizer.valid)
        throw CFileListExcep(FLIST_WRONG_FNAME, EXCEP_HERE());
    for (auto it = map.begin(); it != map.end();)
    {
        FileEntry& entry = it->second;
        // A separator after the pattern component selects folders, none files.
        if (tokenizer.more != entry.isFolder() || !wildcardMatch(it->first.c_str(), tokenizer.component))
        {
            ++it;
            continue;
        }
        if (tokenizer.atEnd())
        {
            if (remove)
            {
                auto following = std::next(it);
                removeEntry(map, it);
                it = following;
                continue;
            }
            entry.flags = (entry.flags & keepMask) | setBits;
            ++it;
            continue;
        }
        const PathTokenizer saved = tokenizer;
        tokenizer.next();
        modifyRecursive(*entry.child, tokenizer, remove, setBits, keepMask);
        tokenizer = saved;
        ++it;
    }
}
