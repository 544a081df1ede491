#include "newupdatesystem/Common/FileList.h"

#include "newupdatesystem/Common/Log.h"

void CFileList::onListEvent(uint32_t code, const char* path, const FileInfo*)
{
    const char* p = path ? path : "";
    switch (code)
    {
    case LE_READING:
        logFileOnly("Reading %s", p);
        break;
    case LE_WRITING:
        logFileOnly("Writing %s", p);
        break;
    case LE_SCAN_STARTED:
        logFileOnly("Scanning '%s' started", p);
        break;
    case LE_CRC_SCAN_STARTED:
        logFileOnly("CRC scanning '%s' started", p);
        break;
    case LE_SCAN_FINISHED:
        logFileOnly("Scanning '%s' finished", p);
        break;
    default:
        break;
    }
}

void CFileList::clear()
{
    root.clear();
    fileCount = 0;
    folderCount = 0;
    totalSize = 0;
}

// Subtracts everything below a folder from the counters.
void CFileList::forgetSubtree(const FolderMap& map)
{
    for (const auto& [name, entry] : map)
    {
        if (entry.child)
        {
            forgetSubtree(*entry.child);
            --folderCount;
        }
        else
        {
            --fileCount;
            totalSize -= entry.size;
        }
    }
}

void CFileList::removeEntry(FolderMap& map, FolderMap::iterator it)
{
    FileEntry& entry = it->second;
    if (entry.child)
    {
        forgetSubtree(*entry.child);
        --folderCount;
    }
    else
    {
        --fileCount;
        totalSize -= entry.size;
    }
    map.erase(it);
}
