// The self-update list and script: input is a realm text, a NUL, then a binary
// file list. Whatever names pass the checks, none leaves the folder and the
// script keeps the shape of one made from harmless names.
#include <cstring>

#include "fuzz/ShellShape.h"
#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/client/SelfUpdateScript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    if (!nul)
        return 0;
    std::string realm(reinterpret_cast<const char*>(data), nul - data);
    if (isSafeRelativePath(realm.c_str()) && leavesFolder(realm))
        __builtin_trap();
    CFileList list;
    ChangeList items;
    try
    {
        list.createFromBin(nul + 1, uint32_t(size - (nul + 1 - data)));
        collectAll(list, items);
    }
    catch (const CFileListExcep&)
    {
        return 0;
    }
    const std::string folder = selfUpdateFolderName(CRuntimeRandom().next());
    std::string script = selfUpdateScriptHead(), plain = script;
    unsigned number = 0;
    for (const FileChange& item : items.fileItems)
    {
        if (isSafeRelativePath(item.path) && leavesFolder(item.path))
            __builtin_trap();
        if (!isPlainFileName(item.path))
            continue;
        script += selfUpdateScriptFileBlock(number, folder, item.path);
        plain += selfUpdateScriptFileBlock(number++, folder, "x");
    }
    script += selfUpdateScriptTail(folder, "Zelvan", realm);
    plain += selfUpdateScriptTail(folder, "Zelvan", "main");
    if (shellShape(script) != shellShape(plain))
        __builtin_trap();
    return 0;
}
