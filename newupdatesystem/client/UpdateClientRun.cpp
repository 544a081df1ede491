// CUpdateClient: the local check, fetching files and lists, the comparison
// with the server and the update job.
#include <cstring>
#include <set>
#include <string>

#include "newupdatesystem/Common/BinFile.h"
#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/client/SelfUpdateScript.h"
#include "newupdatesystem/client/UpdateClient.h"

namespace
{

std::string joinPath(const char* folder, const char* path)
{
    std::string full = folder;
    addTrailingSlash(full);
    full += path;
    return full;
}

// An item path of 511 characters may have been cut off on its way into the
// ChangeList and then names some other file.
bool isUsablePath(const char* path)
{
    return std::strlen(path) < MAX_PATH_LENGTH && isSafeRelativePath(path);
}

} // namespace

void CUpdateClient::syncLocalList()
{
    if (listFileName.empty() || localDir.empty())
        return;
    logInfo("Synchronizing file-list...");
    if (!recheckText.empty())
        parseItemList(localList.recheckPatterns, recheckText.c_str(), 0);
    // A stop that comes during the scan ends it; one that came before the start
    // still lets the worker scan and open its session, as hosts expect.
    bool stoppedBeforeStart = !isRunning();
    localList.checkpoint = [this, stoppedBeforeStart] {
        if (!stoppedBeforeStart)
            checkRun();
    };
    localList.syncWithDisk(listFileName.c_str(), localDir.c_str(), isFullCheck(), true);
    localList.save();
}

void CUpdateClient::getFile(ServerFile which, const char* name, CDataFile& out)
{
    const uint32_t subtag = which == ServerFile::Special ? SUBTAG_SPCP : SUBTAG_NRMP;
    emitEvent(UPD_EVENT_FILE_REQUEST, name);
    sendGetRequest(subtag, name);
    CDataFile packed;
    recvFile(subtag, packed, 0);
    emitEvent(UPD_EVENT_FILE_RECEIVED, name);
    out.clear();
    out.unpackFrom(packed.data(), packed.size());
}

void CUpdateClient::getFileList(CFileList& list, const char* name, const char* cachePath)
{
    list.clear();
    CDataFile buffer;
    if (cachePath)
    {
        try
        {
            buffer.loadFromFile(cachePath);
            uint8_t local[16] = {};
            if (buffer.size() > 0)
                CMd5::digest(buffer.data(), buffer.size(), local);
            sendText(TAG_GETS, name);
            uint8_t remote[16];
            recvChecksum(remote);
            if (std::memcmp(local, remote, sizeof(local)) != 0)
                buffer.clear();
        }
        catch (const CBasicThread::CStopExcep&)
        {
            throw;
        }
        catch (const CExcep&)
        {
            // A missing cache or a failed exchange only costs the download.
            buffer.clear();
        }
    }
    if (buffer.size() == 0)
    {
        getFile(ServerFile::Special, name, buffer);
        if (cachePath)
            buffer.saveToFile(cachePath);
    }
    try
    {
        list.createFromBin(buffer.data(), buffer.size());
    }
    catch (const CFileListExcep&)
    {
        logError("Received invalid file-list");
        throw;
    }
}

void CUpdateClient::compareWithServer(ChangeList& toTake, ChangeList& toGive)
{
    CDataFile ignoreText;
    getFile(ServerFile::Special, "ignore", ignoreText);
    ChangeList patterns;
    if (ignoreText.size() > 0)
        parseItemList(patterns, reinterpret_cast<const char*>(ignoreText.data()), ignoreText.size());

    auto addOwnFile = [&patterns](const std::string& name) {
        char path[PATH_BUFFER_SIZE];
        pathCopy(path, name.c_str());
        normalizePath(path);
        patterns.addFile(path, FileInfo{}, ChangeKind::Old, "");
    };
    if (!serverListCache.empty())
        addOwnFile(serverListCache);
    addOwnFile(listFileName);
    exclude(localList, patterns);
    exclude(serverList, patterns);

    CFileList selfList;
    getFileList(selfList, "self_upd", nullptr);
    ChangeList selfItems;
    collectAll(selfList, selfItems);
    exclude(localList, selfItems);
    exclude(serverList, selfItems);

    emitEvent(UPD_EVENT_BUILDING_LIST);
    compareLists(toTake, toGive, localList, serverList, serverCompareMode());
}

void CUpdateClient::downloadFiles(const ChangeList& items, const char* folder)
{
    logInfo("%u files to download, %u kb total", static_cast<unsigned>(items.fileItems.size()),
            static_cast<unsigned>(items.totalSize >> 10));
    // 64 bits: the finished bytes pass 4 GiB on a large installation.
    uint64_t done = 0;
    CDataFile data;
    for (const FileChange& item : items.fileItems)
    {
        std::string path = joinPath(folder, item.path);
        logFileOnly("Downloading '%s'...", item.path);
        getFile(ServerFile::Installed, item.path, data);
        data.saveToFile(path.c_str());
        CBinFile::setTime(path.c_str(), item.info.time);
        done += item.info.size;
        float share = items.totalSize ? static_cast<float>(static_cast<double>(done) /
                                                          static_cast<double>(items.totalSize))
                                      : 1.0f;
        emitEvent(UPD_EVENT_PROGRESS, nullptr, share);
    }
}

void CUpdateClient::checkServerPaths(const ChangeList& items)
{
    for (const FileChange& item : items.fileItems)
    {
        if (!isUsablePath(item.path))
        {
            logError("Server sent unsafe path '%s'!", item.path);
            throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
        }
    }
    for (const FolderChange& item : items.folderItems)
    {
        if (!isUsablePath(item.path))
        {
            logError("Server sent unsafe path '%s'!", item.path);
            throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
        }
    }
}

void CUpdateClient::removeConflicts(const ChangeList& toTake, const ChangeList& toGive)
{
    std::set<std::string> serverFolders;
    std::set<std::string> serverFiles;
    for (const FolderChange& item : toTake.folderItems)
        if (item.kind == ChangeKind::Mod)
            serverFolders.insert(item.path);
    for (const FileChange& item : toTake.fileItems)
        if (item.kind == ChangeKind::Mod)
            serverFiles.insert(item.path);

    // A local file where the server has a folder.
    for (const FileChange& item : toGive.fileItems)
    {
        if (item.kind != ChangeKind::Mod || !serverFolders.count(item.path))
            continue;
        std::string path = joinPath(localDir.c_str(), item.path);
        logWarning("Removing file '%s' to make room for a folder", path.c_str());
        CBinFile::clearAttributes(path.c_str(), true);
        CBinFile::remove(path.c_str(), true);
        localList.remove(item.path);
    }

    // A local folder where the server has a file: remove what the list knows
    // of it, inner items first. Anything else inside keeps the folder, and the
    // failure to remove it ends the update.
    for (auto folder = toGive.folderItems.begin(); folder != toGive.folderItems.end(); ++folder)
    {
        if (folder->kind != ChangeKind::Mod || !serverFiles.count(folder->path))
            continue;
        std::string prefix = std::string(folder->path) + "/";
        std::string path = joinPath(localDir.c_str(), folder->path);
        logWarning("Removing folder '%s' to make room for a file", path.c_str());
        for (const FileChange& item : toGive.fileItems)
        {
            if (std::strncmp(item.path, prefix.c_str(), prefix.size()) != 0)
                continue;
            std::string inner = joinPath(localDir.c_str(), item.path);
            CBinFile::clearAttributes(inner.c_str(), true);
            CBinFile::remove(inner.c_str(), true);
        }
        for (auto inner = toGive.folderItems.rbegin(); inner != toGive.folderItems.rend(); ++inner)
        {
            if (std::strncmp(inner->path, prefix.c_str(), prefix.size()) == 0)
                CBinFile::removeDir(joinPath(localDir.c_str(), inner->path).c_str(), true);
        }
        CBinFile::removeDir(path.c_str(), true);
        localList.remove(prefix.c_str());
    }
}

void CUpdateClient::runUpdate()
{
    getFileList(serverList, "list", serverListCache.empty() ? nullptr : serverListCache.c_str());
    exclude(serverList, exclusions);

    ChangeList toTake;
    ChangeList toGive;
    compareWithServer(toTake, toGive);
    checkServerPaths(toTake);
    checkServerPaths(toGive);

    emitEvent(UPD_EVENT_CREATING_FOLDERS);
    logInfo("%u folders to create...", static_cast<unsigned>(toTake.folderItems.size()));
    print(toTake, "Items to download", KIND_OLD | KIND_MOD | KIND_ADD);
    removeConflicts(toTake, toGive);
    createFolders(toTake, localDir.c_str());
    downloadFiles(toTake, localDir.c_str());

    emitEvent(UPD_EVENT_DELETING);
    print(toGive, "Files and folders to delete:", KIND_ADD);
    deleteFiles(toGive, localDir.c_str(), KIND_ADD, true);
    deleteFolders(toGive, localDir.c_str(), true);

    logInfo("Updating local date for %u files and %u folders",
            static_cast<unsigned>(toTake.fileItems.size()),
            static_cast<unsigned>(toTake.folderItems.size()));
    FileInfo folderInfo;
    folderInfo.flags = FI_FOLDER;
    for (const FolderChange& item : toTake.folderItems)
    {
        std::string path = item.path;
        addTrailingSlash(path);
        localList.updateFileInfo(path.c_str(), folderInfo);
    }
    for (const FileChange& item : toTake.fileItems)
        localList.updateFileInfo(item.path, item.info);

    emitEvent(UPD_EVENT_SAVING_LIST);
    localList.save();
    logInfo("Update successfull!");
}
