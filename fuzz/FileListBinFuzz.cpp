// CFileList::createFromBin on arbitrary bytes: may refuse, never crash, leak or
// accept a name that leaves its folder; what it accepts writes back and reads
// again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileList.h"

namespace
{
void check(const FolderMap& map, uint32_t& files, uint32_t& folders)
{
    for (const auto& [name, entry] : map)
    {
        if (name.empty() || name.size() > 127 || name == "." || name == ".." ||
            name.find_first_of(std::string("/\\\0", 3)) != std::string::npos)
            __builtin_trap();
        if (entry.child)
        {
            ++folders;
            check(*entry.child, files, folders);
        }
        else
        {
            ++files;
        }
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CFileList list;
    try
    {
        list.createFromBin(data, uint32_t(size));
    }
    catch (const CFileListExcep&)
    {
        if (list.fileCount || list.folderCount || list.totalSize || !list.root.empty())
            __builtin_trap();
        return 0;
    }
    uint32_t files = 0;
    uint32_t folders = 0;
    check(list.root, files, folders);
    if (files != list.fileCount || folders != list.folderCount)
        __builtin_trap();
    list.buildBin();
    CFileList again;
    again.createFromBin(list.image().data(), list.imageSize());
    again.buildBin();
    if (again.image() != list.image())
        __builtin_trap();
    return 0;
}
