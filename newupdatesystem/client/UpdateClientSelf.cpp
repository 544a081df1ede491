// CUpdateClient: the self-update. The launcher's own files are downloaded
// into a fresh temporary folder together with a script that, once the
// launcher has exited, moves them into place and restarts it.
#include <cerrno>
#include <string>

#include "newupdatesystem/Common/BinFile.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/client/SelfUpdateScript.h"
#include "newupdatesystem/client/UpdateClient.h"
#include "platform/ExecutablePath.h"
#include "platform/Files.h"

namespace
{
// The scan lists neither links nor what they point to: a link (even a
// dangling one) or anything else at the name makes it unusable.
bool isNameInUse(std::string name)
{
    while (!name.empty() && (name.back() == '/' || name.back() == '\\'))
        name.pop_back();
    platform::FileStatus status;
    return platform::fileStatus(name.c_str(), status, true) || errno != ENOENT;
}

// The new version of an installed file keeps its mode, so that a program
// stays a program; the launcher itself is made one in any case, as the
// script starts it by its name.
void keepMode(const std::string& installed, const std::string& downloaded, bool isLauncher)
{
    platform::FileStatus status;
    if (platform::fileStatus(installed.c_str(), status, true) && status.kind == platform::FileKind::Regular &&
        !status.link)
        platform::copyFileMode(installed.c_str(), downloaded.c_str());
    if (isLauncher)
        platform::makeExecutable(platform::resolvePath(downloaded.c_str()).c_str());
}
void keepModes(const ChangeList& changed, const std::string& localDir, const std::string& folder)
{
    std::string launcher;
    if (platform::executablePath(launcher, 1024))
        launcher.erase(0, launcher.rfind(platform::executablePathSeparator()) + 1);
    for (char& c : launcher)
        c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    for (const FileChange& item : changed.fileItems)
    {
        std::string installed = localDir;
        addTrailingSlash(installed);
        installed += item.path;
        keepMode(platform::resolvePath(installed.c_str()), folder + item.path, launcher == item.path);
    }
}
} // namespace

void CUpdateClient::getSelfUpdateList(ChangeList& out)
{
    receiveStreamedLists();
    CFileList list;
    getFileList(list, "self_upd", nullptr);
    // Compared in lower case, as lists hold names.
    list.lowerCaseNames();
    collectAll(list, out);

    bool folders = !out.folderItems.empty();
    for (const FileChange& item : out.fileItems)
    {
        for (const char* p = item.path; *p && !folders; ++p)
            folders = *p == '/' || *p == '\\';
    }
    if (folders)
    {
        logError("Server sent self-update list with folders!");
        throw CUpdExcep(UPD_SELF_LIST, EXCEP_HERE());
    }
    // The names end up in the script and in paths: only plain file names.
    for (const FileChange& item : out.fileItems)
    {
        if (!isPlainFileName(item.path))
        {
            logError("Server sent self-update list with invalid name '%s'!", item.path);
            throw CUpdExcep(UPD_SELF_LIST, EXCEP_HERE());
        }
    }
}

void CUpdateClient::selfUpdate()
{
    logInfo("Begining self-update, realm '%s'...", m_realm.c_str());
    m_selfUpdateBatch.clear();

    ChangeList items;
    getSelfUpdateList(items);

    ChangeList changed(ChangeList::Collect::FilesOnly);
    for (const FileChange& item : items.fileItems)
    {
        try
        {
            FileInfo local = m_localList.getFileInfo(item.path, false);
            if (entriesEqual(local, item.info, CMP_SIZE | CMP_CHECKSUM))
                continue;
        }
        catch (const CFileListExcep& e)
        {
            if (e.code != FLIST_NOT_FOUND)
                throw;
        }
        changed.addFile(item.path, item.info, item.kind, "");
    }
    if (changed.fileItems.empty())
    {
        logInfo("Self files is up to date!");
        setStatus(UPD_SELF_UP_TO_DATE);
        return;
    }

    // Every worker draws the same candidates; a folder left by an earlier
    // self-update is in the local list and so is skipped.
    CRuntimeRandom random(1);
    std::string folder;
    for (unsigned i = 0; i < kSelfUpdateFolderTries && folder.empty(); ++i)
    {
        std::string candidate = selfUpdateFolderName(random.next());
        try
        {
            m_localList.getFileInfo(candidate.c_str(), true);
        }
        catch (const CFileListExcep& e)
        {
            if (e.code != FLIST_NOT_FOUND)
                throw;
            if (!isNameInUse(candidate))
                folder = candidate;
        }
    }
    if (folder.empty())
    {
        logError("Failed to create temp directory for self-update");
        throw CUpdExcep(UPD_SELF_TEMP_DIR, EXCEP_HERE());
    }
    // The script deletes each old file until it is gone: a name that is a
    // folder here, the temporary folder or the script itself would never go.
    for (const FileChange& item : changed.fileItems)
    {
        std::string local = m_localDir;
        addTrailingSlash(local);
        local += item.path;
        if (isSelfUpdateNameRefused(item.path, folder, platform::isFolder(local.c_str())))
        {
            logError("Server sent self-update name '%s' that cannot be replaced!", item.path);
            throw CUpdExcep(UPD_SELF_LIST, EXCEP_HERE());
        }
    }
    checkDiskSpace(changed, DiskUse::AddsFiles);
    CBinFile::createDir(folder.c_str(), false);
    try
    {
        downloadFiles(changed, folder.c_str());
    }
    catch (...)
    {
        // The folder is this run's own: a download that failed or was
        // refused leaves nothing of it behind.
        for (const FileChange& item : changed.fileItems)
            platform::removeFile((folder + item.path).c_str());
        platform::removeDirectory(folder.c_str());
        throw;
    }
    keepModes(changed, m_localDir, folder);

    std::string scriptPath = folder + kSelfUpdateScriptName;
    CBinFile script(scriptPath.c_str(), CBinFile::MODE_CREATE);
    std::string text = selfUpdateScriptHead();
    unsigned number = 0;
    for (const FileChange& item : changed.fileItems)
    {
        // The installed file may be spelt in another case: that one is replaced.
        std::string installed = platform::resolvePath(item.path);
        if (!isPlainFileName(installed.c_str(), NameOrigin::Local))
            installed = item.path;
        text += selfUpdateScriptFileBlock(number++, folder, item.path, installed);
    }
    script.write(text.data(), static_cast<uint32_t>(text.size()));

    std::string exe;
    bool known = platform::executablePath(exe, 1024);
    size_t slash = known ? exe.rfind(platform::executablePathSeparator()) : std::string::npos;
    if (slash == std::string::npos || slash + 1 == exe.size())
    {
        logInfo("Invalid module name '%s'!", exe.c_str());
        script.close();
        return;
    }
    text = selfUpdateScriptTail(folder, exe.substr(slash + 1), m_realm);
    script.write(text.data(), static_cast<uint32_t>(text.size()));

    m_selfUpdateBatch = scriptPath;
    setStatus(UPD_OK);
    script.safeClose();
    platform::makeExecutable(scriptPath.c_str());
}
