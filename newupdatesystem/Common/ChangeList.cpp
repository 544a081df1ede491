#include "newupdatesystem/Common/ChangeList.h"

#include <cstring>

namespace
{
// folderPath, a separator unless it is empty, name; cut at 511 characters.
void joinPath(char* out, const char* folderPath, const char* name)
{
    pathCopy(out, folderPath);
    addTrailingSlash(out);
    pathAppend(out, name);
}

void walk(ChangeList& newer, ChangeList& older, const FolderMap& aMap, const FolderMap& bMap, uint32_t mode,
          const char* folderPath)
{
    auto a = aMap.begin();
    auto b = bMap.begin();
    const FileNameLess less;
    for (;;)
    {
        if (a != aMap.end() && (b == bMap.end() || less(a->first, b->first)))
        {
            older.addEntry(a->first.c_str(), a->second, ChangeKind::Add, folderPath);
            ++a;
        }
        else if (b != bMap.end() && (a == aMap.end() || less(b->first, a->first)))
        {
            newer.addEntry(b->first.c_str(), b->second, ChangeKind::Add, folderPath);
            ++b;
        }
        else if (a == aMap.end())
        {
            return;
        }
        else
        {
            if (!entriesEqual(a->second, b->second, mode))
            {
                older.addEntry(a->first.c_str(), a->second, ChangeKind::Mod, folderPath);
                newer.addEntry(b->first.c_str(), b->second, ChangeKind::Mod, folderPath);
            }
            else if (a->second.child && b->second.child)
            {
                char path[PATH_BUFFER_SIZE];
                joinPath(path, folderPath, a->first.c_str());
                walk(newer, older, *a->second.child, *b->second.child, mode, path);
            }
            ++a;
            ++b;
        }
    }
}
} // namespace

void ChangeList::clear()
{
    fileItems.clear();
    folderItems.clear();
    count = 0;
    countAdd = 0;
    totalSize = 0;
}

void ChangeList::addFile(const char* name, const FileInfo& info, ChangeKind kind, const char* folderPath)
{
    if (!collectFiles)
        return;
    FileChange& item = fileItems.emplace_back();
    item.info = info;
    joinPath(item.path, folderPath, name);
    item.kind = kind;
    totalSize += info.size;
    if (kind == ChangeKind::Add)
        ++countAdd;
    else
        ++count;
}

void ChangeList::addFolder(const char* path, const FolderMap& map, ChangeKind kind)
{
    if (!collectFolders)
        return;
    FolderChange& item = folderItems.emplace_back();
    pathCopy(item.path, path);
    item.entryCount = uint32_t(map.size());
    item.kind = kind;
    if (kind == ChangeKind::Add)
        ++countAdd;
    else
        ++count;
}

void ChangeList::addTree(const FolderMap& map, ChangeKind kind, const char* folderPath)
{
    for (const auto& [name, entry] : map)
    {
        if (!entry.child)
            addFile(name.c_str(), entry, kind, folderPath);
    }
    for (const auto& [name, entry] : map)
    {
        if (entry.child)
        {
            char path[PATH_BUFFER_SIZE];
            joinPath(path, folderPath, name.c_str());
            addFolder(path, *entry.child, kind);
            addTree(*entry.child, kind, path);
        }
    }
}

void ChangeList::addEntry(const char* name, const FileEntry& entry, ChangeKind kind, const char* folderPath)
{
    if (!entry.child)
    {
        addFile(name, entry, kind, folderPath);
        return;
    }
    char path[PATH_BUFFER_SIZE];
    joinPath(path, folderPath, name);
    addFolder(path, *entry.child, kind);
    addTree(*entry.child, kind, path);
}

bool entriesEqual(const FileInfo& a, const FileInfo& b, uint32_t mode)
{
    const bool aFolder = (a.flags & FI_FOLDER) != 0;
    const bool bFolder = (b.flags & FI_FOLDER) != 0;
    if (aFolder || bFolder)
        return aFolder == bFolder;
    if ((a.flags | b.flags) & FI_NOCOMPARE)
        return true;
    if ((mode & CMP_SIZE) && a.size != b.size)
        return false;
    if (mode & CMP_TIME)
    {
        // In unsigned arithmetic, so that no pair of times can overflow.
        const uint64_t d =
            a.time > b.time ? uint64_t(a.time) - uint64_t(b.time) : uint64_t(b.time) - uint64_t(a.time);
        if (d > 2)
            return false;
    }
    if (mode & CMP_CHECKSUM)
    {
        if (!(a.flags & FI_CHECKSUM) || !(b.flags & FI_CHECKSUM) ||
            std::memcmp(a.checksum, b.checksum, sizeof a.checksum) != 0)
            return false;
    }
    return true;
}

void compareLists(ChangeList& newer, ChangeList& older, CFileList& a, CFileList& b, uint32_t mode)
{
    a.onListEvent(LE_COMPARING, nullptr, nullptr);
    b.onListEvent(LE_COMPARING, nullptr, nullptr);
    newer.clear();
    older.clear();
    walk(newer, older, a.root, b.root, mode, "");
}

void collectAll(CFileList& list, ChangeList& items)
{
    items.clear();
    items.addTree(list.root, ChangeKind::Old, "");
}
