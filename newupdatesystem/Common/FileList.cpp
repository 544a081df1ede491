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

uint32_t CFileList::lowerCaseNames()
{
    return lowerCaseRecursive(root);
}

uint32_t CFileList::lowerCaseRecursive(FolderMap& map)
{
    uint32_t dropped = 0;
    FolderMap lowered;
    while (!map.empty())
    {
        auto node = map.extract(map.begin());
        if (node.mapped().child)
            dropped += lowerCaseRecursive(*node.mapped().child);
        std::string name = node.key();
        for (char& c : name)
        {
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        }
        auto existing = lowered.find(name);
        if (existing != lowered.end())
        {
            ++dropped;
            if (name == node.key())
            {
                removeEntry(lowered, existing); // the lower-case spelling wins
            }
            else
            {
                FolderMap single;
                single.insert(std::move(node));
                removeEntry(single, single.begin());
                continue;
            }
        }
        node.key() = std::move(name);
        lowered.insert(std::move(node));
    }
    map.swap(lowered);
    return dropped;
}
