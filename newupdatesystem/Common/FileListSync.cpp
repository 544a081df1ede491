#include "newupdatesystem/Common/FileListSync.h"

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Log.h"

namespace
{

// The scanned side of a synchronisation: reading every file is its long part,
// so each checksum passes the checkpoint first.
class CCheckedScan : public CFileList
{
public:
    CCheckedScan(const std::function<void()>& checkpoint, std::vector<std::string>& passedOver)
        : m_checkpoint(checkpoint), m_passedOver(passedOver)
    {
    }
    void onListEvent(uint32_t code, const char* path, const FileInfo* info) override
    {
        if (code == LE_CHECKSUM && m_checkpoint)
            m_checkpoint();
        if (code == LE_PASSED_OVER)
            m_passedOver.push_back(path);
        CFileList::onListEvent(code, path, info);
    }

private:
    const std::function<void()>& m_checkpoint;
    std::vector<std::string>& m_passedOver;
};

} // namespace

void CFileListSync::onListEvent(uint32_t code, const char* path, const FileInfo* info)
{
    if (code == LE_CHECKSUM && checkpoint)
        checkpoint();
    if (code == LE_COMPARING)
    {
        logFileOnly("Comparing '%s'", listPath.c_str());
        return;
    }
    CFileList::onListEvent(code, path, info);
}

void CFileListSync::syncWithDisk(const char* listFile, const char* folder, bool withChecksums,
                                 bool tolerateLoadErrors)
{
    listPath = listFile;
    try
    {
        createFromFile(listPath.c_str());
    }
    catch (const CExcep&)
    {
        if (!tolerateLoadErrors)
            throw;
        clear();
    }
    exclude(*this, recheckPatterns);

    passedOver.clear();
    CCheckedScan disk(checkpoint, passedOver);
    disk.scan(folder, withChecksums);
    compareLists(newerItems, olderItems, *this, disk,
                 withChecksums ? CMP_SIZE | CMP_CHECKSUM : CMP_SIZE | CMP_TIME);

    // A path that is a file on one side and a folder on the other: the old
    // entry goes first, or entering the new one would fail at every later
    // synchronisation and the list could never recover.
    for (const FolderChange& item : newerItems.folderItems)
    {
        if (item.kind != ChangeKind::Mod)
            continue;
        const FileEntry* old = findEntry(item.path);
        if (old && !old->isFolder())
            remove(item.path);
    }
    for (const FileChange& item : newerItems.fileItems)
    {
        if (item.kind != ChangeKind::Mod)
            continue;
        const FileEntry* old = findEntry(item.path);
        if (old && old->isFolder())
        {
            std::string path = item.path;
            addTrailingSlash(path);
            remove(path.c_str());
        }
    }

    for (const FolderChange& item : newerItems.folderItems)
    {
        std::string path = item.path;
        addTrailingSlash(path);
        FileInfo info;
        info.flags = FI_FOLDER;
        updateFileInfo(path.c_str(), info);
    }
    for (FileChange& item : newerItems.fileItems)
    {
        char path[PATH_BUFFER_SIZE];
        pathCopy(path, folder);
        addTrailingSlash(path);
        pathAppend(path, item.path);
        onListEvent(LE_CHECKSUM, path, &item.info);
        checksumFile(item.info, path);
    }
    for (const FileChange& item : newerItems.fileItems)
        updateFileInfo(item.path, item.info);
    for (const FileChange& item : olderItems.fileItems)
    {
        if (item.kind == ChangeKind::Add)
            remove(item.path);
    }
    // Inner folders before the folders that hold them. Folders of Mod pairs
    // were replaced above.
    for (auto it = olderItems.folderItems.rbegin(); it != olderItems.folderItems.rend(); ++it)
    {
        if (it->kind != ChangeKind::Add)
            continue;
        std::string path = it->path;
        addTrailingSlash(path);
        remove(path.c_str());
    }
}

void CFileListSync::save(const char* path)
{
    if (path)
        listPath = path;
    if (listPath.empty())
        return;
    buildBin();
    saveToFile(listPath.c_str());
}
