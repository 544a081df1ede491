#include "newupdatesystem/Common/FileListPrint.h"

#include <cstdio>
#include <ctime>

#include "newupdatesystem/Common/BinFile.h"
#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Log.h"
#include "platform/LocalTime.h"

namespace
{
const char* kindLabel(ChangeKind kind)
{
    switch (kind)
    {
    case ChangeKind::Old:
        return "Old";
    case ChangeKind::Mod:
        return "Mod";
    case ChangeKind::Add:
        return "Add";
    default:
        return "Unk";
    }
}

bool selected(ChangeKind kind, uint32_t kindFilter)
{
    const auto bit = static_cast<uint32_t>(kind);
    return bit < 32 && (kindFilter >> bit & 1) != 0;
}

void diskPath(char* out, const char* root, const char* itemPath)
{
    pathCopy(out, root);
    addTrailingSlash(out);
    pathAppend(out, itemPath);
}
} // namespace

void print(const ChangeList& items, const char* title, uint32_t kindFilter)
{
    if (title)
        logInfo("%s", title);
    printFolders(items);
    printFiles(items, kindFilter);
}

void printFolders(const ChangeList& items)
{
    if (items.folderItems.empty())
    {
        logInfo("No folders");
        return;
    }
    for (const FolderChange& item : items.folderItems)
        logInfo("%3u files, %s: %s", item.entryCount, kindLabel(item.kind), item.path);
}

void printFiles(const ChangeList& items, uint32_t kindFilter)
{
    bool any = false;
    for (const FileChange& item : items.fileItems)
    {
        if (!selected(item.kind, kindFilter))
            continue;
        any = true;
        char sum[40];
        const uint32_t* c = item.info.checksum;
        if (item.info.flags & FI_CHECKSUM)
            std::snprintf(sum, sizeof sum, "%08x %08x %08x %08x ", c[0], c[1], c[2], c[3]);
        else
            std::snprintf(sum, sizeof sum, "no CRC   ");
        std::tm local{};
        platform::localTime(int64_t(item.info.time), local);
        // One call per line, so that no other thread's line lands inside it.
        logInfo("%7llub %s%02u:%02u:%02u %02u.%02u.%04u %s: %s",
                static_cast<unsigned long long>(item.info.size), sum, unsigned(local.tm_hour),
                unsigned(local.tm_min), unsigned(local.tm_sec), unsigned(local.tm_mday),
                unsigned(local.tm_mon + 1), unsigned(local.tm_year + 1900), kindLabel(item.kind), item.path);
    }
    if (!any)
        logInfo("No files");
}

void createFolders(const ChangeList& items, const char* root)
{
    for (const FolderChange& item : items.folderItems)
    {
        char path[PATH_BUFFER_SIZE];
        diskPath(path, root, item.path);
        CBinFile::createDir(path, true);
    }
}

void deleteFiles(const ChangeList& items, const char* root, uint32_t kindFilter, bool ignoreErrors)
{
    for (const FileChange& item : items.fileItems)
    {
        if (!selected(item.kind, kindFilter))
            continue;
        char path[PATH_BUFFER_SIZE];
        diskPath(path, root, item.path);
        try
        {
            CBinFile::clearAttributes(path, false);
            CBinFile::remove(path, false);
        }
        catch (const CSystemExcep&)
        {
            if (!ignoreErrors)
                throw;
            logInfo("Could not delete file '%s' !", path);
        }
    }
}

void deleteFolders(const ChangeList& items, const char* root, bool ignoreErrors)
{
    for (auto it = items.folderItems.rbegin(); it != items.folderItems.rend(); ++it)
    {
        char path[PATH_BUFFER_SIZE];
        diskPath(path, root, it->path);
        try
        {
            CBinFile::clearAttributes(path, false);
            CBinFile::removeDir(path, false);
        }
        catch (const CSystemExcep&)
        {
            if (!ignoreErrors)
                throw;
            logInfo("Could not delete directory '%s' !", path);
        }
    }
}
