// The self-update list and script: input is a realm text, a NUL, then a binary
// file list. Whatever names pass the checks, the script keeps its shape: with
// every quoted word collapsed it equals the script made from harmless names.
#include <cstring>
#include <string>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/client/SelfUpdateScript.h"

namespace
{
std::string skeleton(const std::string& script) // each run of quoted text or \x becomes Q
{
    std::string out;
    for (size_t i = 0; i < script.size(); ++i) {
        bool quoted = script[i] == '\'' || script[i] == '\\';
        if (script[i] == '\'' && (i = script.find('\'', i + 1)) == std::string::npos)
            __builtin_trap(); // an unterminated quote
        i += script[i] == '\\';
        if (!quoted)
            out += script[i];
        else if (out.empty() || out.back() != 'Q')
            out += 'Q';
    }
    return out;
}

bool leavesFolder(const char* path)
{
    std::string p = path;
    if (p.find(':') != std::string::npos || p.front() == '/' || p.front() == '\\')
        return true;
    for (size_t a = 0, b; a <= p.size(); a = b + 1) {
        b = std::min(p.find_first_of("/\\", a), p.size());
        std::string part = p.substr(a, b - a);
        if (part == ".." || part == "." || (part.empty() && b < p.size()))
            return true;
    }
    return false;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    if (!nul)
        return 0;
    std::string realm(reinterpret_cast<const char*>(data), nul - data);
    if (isSafeRelativePath(realm.c_str()) && leavesFolder(realm.c_str()))
        __builtin_trap();
    CFileList list;
    ChangeList items;
    try {
        list.createFromBin(nul + 1, uint32_t(size - (nul + 1 - data)));
        collectAll(list, items);
    } catch (const CFileListExcep&) {
        return 0;
    }
    const std::string folder = selfUpdateFolderName(CRuntimeRandom().next());
    std::string script = selfUpdateScriptHead(), plain = script;
    unsigned number = 0;
    for (const FileChange& item : items.fileItems) {
        if (isSafeRelativePath(item.path) && leavesFolder(item.path))
            __builtin_trap();
        if (!isPlainFileName(item.path))
            continue;
        script += selfUpdateScriptFileBlock(number, folder, item.path);
        plain += selfUpdateScriptFileBlock(number++, folder, "x");
    }
    script += selfUpdateScriptTail(folder, "Zelvan", realm);
    plain += selfUpdateScriptTail(folder, "Zelvan", "main");
    if (skeleton(script) != skeleton(plain))
        __builtin_trap();
    return 0;
}
