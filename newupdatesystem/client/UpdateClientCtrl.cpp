// CUpdateClient: the control session, one command with its echo, and the
// upload that mirrors a local folder onto the server.
#include <string>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/client/ClientLock.h"
#include "newupdatesystem/client/UpdateClient.h"

void CUpdateClient::execCommand(const char* text)
{
    logInfo("Sending command '%s'", text);
    sendText(TAG_CMND, text);
    for (unsigned i = 0; i < kMaxEchoes; ++i)
    {
        recvPacket();
        if (packetTag() != TAG_ECHO)
            throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
        std::string line;
        parseTextMsg(8, line);
        if (line.empty())
        {
            if (i == 0)
                logInfo("No command echo");
            CLocked hold(m_lock);
            m_commandDone = true;
            return;
        }
        logInfo("Echo: %s", line.c_str());
        CLocked hold(m_lock);
        m_echoes.push_back(std::move(line));
    }
    logInfo("Too many echoes from server!");
    throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
}

void CUpdateClient::runUpload()
{
    getFileList(m_serverList, "list", nullptr);
    ChangeList toTake;
    ChangeList toGive;
    compareWithServer(toTake, toGive);

    sendMsg(TAG_CMDM);
    recvAckMsg(TAG_ACKN, TAG_ACKN);
    execCommand("suspend");
    logInfo("%i files for upload...", static_cast<int>(toGive.fileItems.size()));

    for (const FileChange& item : toTake.fileItems)
    {
        checkRun();
        if (item.kind != ChangeKind::Add)
            continue;
        logFileOnly("Deleting '%s' from server...", item.path);
        sendModify(TAG_DELT, item.path, 0);
        if (!recvAckMsg(TAG_ACKN, TAG_REPT))
            logWarning("Failed!");
    }
    for (auto it = toTake.folderItems.rbegin(); it != toTake.folderItems.rend(); ++it)
    {
        checkRun();
        logFileOnly("Removing directory '%s' from server...", it->path);
        // "CrDr" removes a folder on the server and "DlDr" creates one.
        sendModify(TAG_CRDR, it->path, 0);
        if (!recvAckMsg(TAG_ACKN, TAG_REPT))
            logWarning("Failed!");
    }
    for (const FolderChange& item : toGive.folderItems)
    {
        checkRun();
        logFileOnly("Creating directory '%s' on server...", item.path);
        sendModify(TAG_DLDR, item.path, 0);
        if (!recvAckMsg(TAG_ACKN, TAG_REPT))
            logWarning("Failed!");
    }
    CDataFile raw;
    CDataFile packed;
    for (const FileChange& item : toGive.fileItems)
    {
        checkRun();
        std::string full = m_localDir;
        addTrailingSlash(full);
        full += item.path;
        logFileOnly("Uploading file '%s' to server...", full.c_str());
        sendModify(TAG_UPLD, item.path, static_cast<uint32_t>(item.info.time));
        raw.loadFromFile(full.c_str());
        packed.packFrom(raw);
        sendFileData(SUBTAG_NRMP, packed);
        if (!recvAckMsg(TAG_ACKN, TAG_REPT))
            logWarning("Failed!");
    }
    execCommand("up");
    logInfo("Upload successfull!");
}
