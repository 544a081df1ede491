// parseItemList and exclude on arbitrary text: patterns may be refused with
// FLIST_WRONG_FNAME, and the list's counters always describe what is left.
#include <cstddef>
#include <cstdint>
#include <string>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/Excep.h"

namespace
{
void count(const FolderMap& map, uint32_t& files, uint32_t& folders, uint64_t& size)
{
    for (const auto& [name, entry] : map)
    {
        if (entry.child)
        {
            ++folders;
            count(*entry.child, files, folders, size);
        }
        else
        {
            ++files;
            size += entry.size;
        }
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CFileList list;
    for (const char* path : {"cache/", "cache/a.tmp", "cache/sub/", "cache/sub/b.tmp", "data/", "data/x.bin",
                             "data/cache/", "readme.txt", "logs/", "logs/old.log"})
    {
        FileInfo info;
        info.flags = path[std::char_traits<char>::length(path) - 1] == '/' ? FI_FOLDER : 0;
        info.size = 7;
        list.updateFileInfo(path, info);
    }
    // Length 0 means "up to the terminating zero", so the text carries one.
    const std::string text(reinterpret_cast<const char*>(data), size);
    ChangeList patterns;
    parseItemList(patterns, text.c_str(), uint32_t(size));
    if (size == 0 && !(patterns.fileItems.empty() && patterns.folderItems.empty()))
        __builtin_trap();
    try
    {
        exclude(list, patterns);
    }
    catch (const CFileListExcep& e)
    {
        if (e.code != FLIST_WRONG_FNAME)
            __builtin_trap();
    }
    uint32_t files = 0;
    uint32_t folders = 0;
    uint64_t total = 0;
    count(list.root, files, folders, total);
    if (files != list.fileCount || folders != list.folderCount || total != list.totalSize)
        __builtin_trap();
    return 0;
}
