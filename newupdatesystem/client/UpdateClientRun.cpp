// CUpdateClient: the local check, fetching files and lists, the comparison
// with the server and the update job.
#include <cstring>
#include <set>
#include <string>

#include "newupdatesystem/Common/BinFile.h"
#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/FileReplacer.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/client/ReleaseCheck.h"
#include "newupdatesystem/client/SelfUpdateScript.h"
#include "newupdatesystem/client/UpdateClient.h"
#include "newupdatesystem/client/WriteBehind.h"
#include "platform/Files.h"

namespace
{

// What the write-behind thread may hold: sixteen segments, enough to ride out
// a slow write, little beside the 64 MiB a download may use.
constexpr size_t kWriteBehindBytes = size_t(16) << 20;

std::string joinPath(const char* folder, const char* path)
{
    std::string full = folder;
    addTrailingSlash(full);
    full += path;
    return full;
}

// An item path of 511 characters may have been cut off on its way into the
// ChangeList and then names some other file.
bool isUsablePath(const char* path, NameOrigin origin)
{
    return std::strlen(path) < MAX_PATH_LENGTH && isSafeRelativePath(path, origin);
}

} // namespace

void CUpdateClient::syncLocalList()
{
    if (m_listFileName.empty() || m_localDir.empty())
        return;
    logInfo("Synchronizing file-list...");
    if (!m_recheckText.empty())
        parseItemList(m_localList.recheckPatterns, m_recheckText.c_str(), 0);
    // A stop that comes during the scan ends it; one that came before the start
    // still lets the worker scan and open its session, as hosts expect.
    bool stoppedBeforeStart = !isRunning();
    m_localList.checkpoint = [this, stoppedBeforeStart]
    {
        if (!stoppedBeforeStart)
            checkRun();
    };
    m_localList.syncWithDisk(m_listFileName.c_str(), m_localDir.c_str(), isFullCheck(), true);
    m_localList.save();
}

void CUpdateClient::getFile(ServerFile which, const char* name, CDataFile& out)
{
    const uint32_t subtag = which == ServerFile::Special ? SUBTAG_SPCP : SUBTAG_NRMP;
    emitEvent(UPD_EVENT_FILE_REQUEST, name);
    if (which == ServerFile::Special)
    {
        if (auto streamed = m_streamedLists.find(name); streamed != m_streamedLists.end())
        {
            out.clear();
            if (!streamed->second.empty())
                out.writeAt(streamed->second.data(), static_cast<uint32_t>(streamed->second.size()), 0);
            m_streamedLists.erase(streamed);
            emitEvent(UPD_EVENT_FILE_RECEIVED, name);
            return;
        }
    }
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
    // A list that came streamed is newer than any copy; a copy whose checksum
    // came with the streamed lists is checked already.
    if (cachePath && !m_streamedLists.count(name))
    {
        try
        {
            buffer.loadFromFile(cachePath);
            if (!m_listCacheCurrent)
            {
                uint8_t local[16] = {};
                if (buffer.size() > 0)
                    CMd5::digest(buffer.data(), buffer.size(), local);
                sendText(TAG_GETS, name);
                uint8_t remote[16];
                recvChecksum(remote);
                if (std::memcmp(local, remote, sizeof(local)) != 0)
                    buffer.clear();
            }
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
    bool fetched = false;
    if (buffer.size() == 0)
    {
        getFile(ServerFile::Special, name, buffer);
        fetched = true;
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
    if (m_release)
        m_release->checkList(name, list);
    // Kept only once it is known to be a list, and one the release vouches for.
    if (fetched && cachePath)
    {
        CFileReplacer cache(cachePath);
        cache.write(buffer.data(), buffer.size());
        cache.commit();
    }
}

void CUpdateClient::compareWithServer(ChangeList& toTake, ChangeList& toGive)
{
    CDataFile ignoreText;
    getFile(ServerFile::Special, "ignore", ignoreText);
    if (m_release)
        m_release->checkIgnore(ignoreText.data(), ignoreText.size());
    ChangeList patterns;
    if (ignoreText.size() > 0)
        parseItemList(patterns, reinterpret_cast<const char*>(ignoreText.data()), ignoreText.size());

    auto addOwnFile = [&patterns](const std::string& name)
    {
        // A list named by an absolute path is no pattern of the folder (and
        // would stop the whole run as a malformed one).
        if (name.empty() || name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':'))
            return;
        char path[PATH_BUFFER_SIZE];
        pathCopy(path, name.c_str());
        normalizePath(path);
        patterns.addFile(path, FileInfo{}, ChangeKind::Old, "");
    };
    if (!m_serverListCache.empty())
        addOwnFile(m_serverListCache);
    addOwnFile(m_listFileName);
    if (m_release)
        addOwnFile(trustStatePath());
    exclude(m_localList, patterns);
    exclude(m_serverList, patterns);

    CFileList selfList;
    getFileList(selfList, "self_upd", nullptr);
    ChangeList selfItems;
    collectAll(selfList, selfItems);
    exclude(m_localList, selfItems);
    exclude(m_serverList, selfItems);

    emitEvent(UPD_EVENT_BUILDING_LIST);
    compareLists(toTake, toGive, m_localList, m_serverList, serverCompareMode());
}

void CUpdateClient::downloadFiles(const ChangeList& items, const char* folder)
{
    logInfo("%u files to download, %u kb total", static_cast<unsigned>(items.fileItems.size()),
            static_cast<unsigned>(items.totalSize >> 10));
    // 64 bits: the finished bytes pass 4 GiB on a large installation.
    uint64_t done = 0;
    m_progressTotal = items.totalSize;
    noteDownloadSize(items.totalSize);
    CDataFile data;
    m_streamAhead = 0;
    m_downloadFolder = folder;
    // Streamed files are checksummed behind the transfer, and small ones put
    // in place there.
    std::unique_ptr<CWriteBehind> behind;
    if (m_streamAgreed)
        behind = std::make_unique<CWriteBehind>(kWriteBehindBytes);
    struct Detach
    {
        CWriteBehind*& at;
        ~Detach() { at = nullptr; }
    } detach{m_writeBehind = behind.get()};
    for (auto at = items.fileItems.begin(); at != items.fileItems.end(); ++at)
    {
        const FileChange& item = *at;
        std::string path = joinPath(folder, item.path);
        if (m_itemFailures && isBlocked(item.path))
        {
            logError("Skipped '%s' after the failure of the folder it belongs in", item.path);
            m_failedItems.insert(item.path);
        }
        else
        {
            m_progressDone = done;
            logFileOnly("Downloading '%s'...", item.path);
            try
            {
                // The list cannot vouch for the size of a file it marks as
                // not to compare, and a range needs it.
                if (m_streamAgreed && !(item.info.flags & FI_NOCOMPARE))
                {
                    if (!patchDownload(path, item))
                        streamDownload(path, item, requestAhead(at, items.fileItems.end()));
                }
                else
                {
                    getFile(ServerFile::Installed, item.path, data);
                    saveDownload(path, data, item);
                }
            }
            catch (const CSystemExcep& e)
            {
                if (!m_itemFailures)
                    throw;
                itemFailed(item.path, e);
            }
        }
        if (behind && behind->failed())
            reportWritten();
        done += item.info.size;
        float share =
            items.totalSize
                ? static_cast<float>(static_cast<double>(done) / static_cast<double>(items.totalSize))
                : 1.0f;
        emitEvent(UPD_EVENT_PROGRESS, nullptr, share);
    }
    if (behind)
    {
        behind->drain();
        reportWritten();
    }
}

void CUpdateClient::progressWithin(uint64_t fileBytes)
{
    if (m_progressTotal == 0)
        return;
    emitEvent(UPD_EVENT_PROGRESS, nullptr,
              static_cast<float>(static_cast<double>(m_progressDone + fileBytes) /
                                 static_cast<double>(m_progressTotal)));
}

void CUpdateClient::saveDownload(const std::string& path, const CDataFile& data, const FileChange& item)
{
    if (m_release)
        m_release->checkFile(item.path, data.size(), platform::CSha256::digest(data.data(), data.size()));
    CFileReplacer file(path.c_str());
    // No more than the list vouches for reaches the disk; the check refuses it.
    if ((item.info.flags & FI_NOCOMPARE) || data.size() == item.info.size)
        file.write(data.data(), data.size());
    commitDownload(file, item);
}

void CUpdateClient::commitChecked(CFileReplacer& file, const FileChange& item, const uint8_t* digest)
{
    uint8_t expected[16];
    checksumBytes(item.info, expected);
    // The list vouches for nothing about a file it marks as not to compare.
    if (item.info.flags & FI_NOCOMPARE)
        file.commitUnchecked(item.info.time);
    else if (digest != nullptr)
        file.commit(digest, item.info.size, expected, item.info.time);
    else
        file.commit(item.info.size, expected, item.info.time);
}

void CUpdateClient::commitDownload(CFileReplacer& file, const FileChange& item, const uint8_t* digest)
{
    try
    {
        commitChecked(file, item, digest);
    }
    catch (const CSystemExcep& e)
    {
        if (e.code == Z_CORRUPTED)
            logError("File '%s' differs from the server's list in size or checksum!", item.path);
        throw;
    }
}

void CUpdateClient::reportWritten()
{
    for (CWriteBehind::Failure& f : m_writeBehind->takeFailures())
    {
        try
        {
            std::rethrow_exception(f.error);
        }
        catch (const CSystemExcep& e)
        {
            if (e.code == Z_CORRUPTED)
                logError("File '%s' differs from the server's list in size or checksum!", f.tag.c_str());
            if (!m_itemFailures)
                throw;
            itemFailed(f.tag.c_str(), e);
        }
    }
}

void CUpdateClient::checkServerPaths(const ChangeList& items, NameOrigin origin)
{
    for (const FileChange& item : items.fileItems)
    {
        if (!isUsablePath(item.path, origin))
        {
            logError("Server sent unsafe path '%s'!", item.path);
            throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
        }
    }
    for (const FolderChange& item : items.folderItems)
    {
        if (!isUsablePath(item.path, origin))
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
        std::string path = joinPath(m_localDir.c_str(), item.path);
        logWarning("Removing file '%s' to make room for a folder", path.c_str());
        try
        {
            CBinFile::clearAttributes(path.c_str(), true);
            CBinFile::remove(path.c_str(), true);
            m_localList.remove(item.path);
        }
        catch (const CSystemExcep& e)
        {
            itemFailed(item.path, e);
        }
    }

    // A local folder where the server has a file: remove what the list knows
    // of it, inner items first. Anything else inside (files the list leaves
    // out, such as ignored ones) is the user's and keeps the folder; then the
    // server's file is passed over and reported, and the rest goes on.
    for (auto folder = toGive.folderItems.begin(); folder != toGive.folderItems.end(); ++folder)
    {
        if (folder->kind != ChangeKind::Mod || !serverFiles.count(folder->path))
            continue;
        std::string prefix = std::string(folder->path) + "/";
        std::string path = joinPath(m_localDir.c_str(), folder->path);
        logWarning("Removing folder '%s' to make room for a file", path.c_str());
        try
        {
            for (const FileChange& item : toGive.fileItems)
            {
                if (std::strncmp(item.path, prefix.c_str(), prefix.size()) != 0)
                    continue;
                std::string inner = joinPath(m_localDir.c_str(), item.path);
                CBinFile::clearAttributes(inner.c_str(), true);
                CBinFile::remove(inner.c_str(), true);
            }
            for (auto inner = toGive.folderItems.rbegin(); inner != toGive.folderItems.rend(); ++inner)
            {
                if (std::strncmp(inner->path, prefix.c_str(), prefix.size()) == 0)
                    CBinFile::removeDir(joinPath(m_localDir.c_str(), inner->path).c_str(), true);
            }
            CBinFile::removeDir(path.c_str(), true);
        }
        catch (const CSystemExcep& e)
        {
            // What was removed is found missing by the next local check.
            itemFailed(folder->path, e);
            continue;
        }
        m_localList.remove(prefix.c_str());
    }
}

void CUpdateClient::createUpdateFolders(const ChangeList& toTake)
{
    for (const FolderChange& item : toTake.folderItems)
    {
        if (isBlocked(item.path))
        {
            m_failedItems.insert(item.path);
            continue;
        }
        std::string path = joinPath(m_localDir.c_str(), item.path);
        try
        {
            // A link where a folder belongs would carry the files written
            // into it out of the installation.
            if (platform::isSymbolicLink(path.c_str()))
            {
                logWarning("Replacing the link '%s' by a folder", path.c_str());
                CBinFile::remove(path.c_str(), false);
            }
            CBinFile::createDir(path.c_str(), true);
        }
        catch (const CSystemExcep& e)
        {
            itemFailed(item.path, e);
        }
    }
}

void CUpdateClient::itemFailed(const char* path, const CSystemExcep& e)
{
    CProtoThread::onSystemExcep(e);
    noteFailure(e);
    logError("Could not update '%s'!", path);
    if (m_failedItems.empty())
        m_itemStatus = statusForSystemExcep(e.code);
    m_failedItems.insert(path);
}

bool CUpdateClient::isBlocked(const char* path) const
{
    if (m_failedItems.empty())
        return false;
    std::string p = path;
    for (;;)
    {
        if (m_failedItems.count(p))
            return true;
        size_t slash = p.rfind('/');
        if (slash == std::string::npos)
            return false;
        p.resize(slash);
    }
}

void CUpdateClient::runUpdate()
{
    m_failedItems.clear();
    m_itemStatus = UPD_OK;
    receiveStreamedLists();
    getFileList(m_serverList, "list", m_serverListCache.empty() ? nullptr : m_serverListCache.c_str());
    // Lists hold lower-case names; a mixed-case one would never match the scan.
    if (uint32_t dropped = m_serverList.lowerCaseNames())
        logWarning("Server list names %u entries twice in different letter case", dropped);
    exclude(m_serverList, m_exclusions);

    ChangeList toTake;
    ChangeList toGive;
    compareWithServer(toTake, toGive);
    checkServerPaths(toTake);
    // What only the disk has is deleted, whatever its name.
    checkServerPaths(toGive, NameOrigin::Local);

    emitEvent(UPD_EVENT_CREATING_FOLDERS);
    logInfo("%u folders to create...", static_cast<unsigned>(toTake.folderItems.size()));
    print(toTake, "Items to download", KIND_OLD | KIND_MOD | KIND_ADD);
    removeLeftoverParts(&toTake);
    checkDiskSpace(toTake);
    removeConflicts(toTake, toGive);
    createUpdateFolders(toTake);
    choosePatchDonors(toGive);
    m_itemFailures = true;
    try
    {
        downloadFiles(toTake, m_localDir.c_str());
    }
    catch (...)
    {
        m_itemFailures = false;
        throw;
    }
    m_itemFailures = false;
    if (UpdJobInfo info{}; getJobInfo(&info) && info.failure == UPD_FAILURE_NO_SPACE)
        removePartsOf(toTake);

    emitEvent(UPD_EVENT_DELETING);
    print(toGive, "Files and folders to delete:", KIND_ADD);
    deleteFiles(toGive, m_localDir.c_str(), KIND_ADD, true);
    deleteFolders(toGive, m_localDir.c_str(), true);

    logInfo("Updating local date for %u files and %u folders", static_cast<unsigned>(toTake.fileItems.size()),
            static_cast<unsigned>(toTake.folderItems.size()));
    // A failed item keeps its old entry, so the next run takes it up again.
    FileInfo folderInfo;
    folderInfo.flags = FI_FOLDER;
    for (const FolderChange& item : toTake.folderItems)
    {
        if (isBlocked(item.path))
            continue;
        std::string path = item.path;
        addTrailingSlash(path);
        m_localList.updateFileInfo(path.c_str(), folderInfo);
    }
    for (const FileChange& item : toTake.fileItems)
    {
        if (!isBlocked(item.path))
            m_localList.updateFileInfo(item.path, item.info);
    }

    emitEvent(UPD_EVENT_SAVING_LIST);
    m_localList.save();
    if (m_failedItems.empty())
        logInfo("Update successfull!");
    else
        logError("Update incomplete: %u items could not be updated",
                 static_cast<unsigned>(m_failedItems.size()));
}
