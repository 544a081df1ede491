// CUpdateClient: what a host may ask about a job beside its status, the size
// of its download and the kind and place of its first failure, so that the
// player reads "the disk is full" or "this file is read-only" instead of one
// text for every write error.
#include <cerrno>
#include <cstring>

#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/LogControl.h"
#include "newupdatesystem/Common/PathUtil.h"
#include "newupdatesystem/client/ClientLock.h"
#include "newupdatesystem/client/PartialFiles.h"
#include "newupdatesystem/client/UpdateClient.h"
#include "platform/Files.h"

namespace
{

UpdFailure failureOf(const CSystemExcep& e)
{
    const int32_t n = e.errorNumber;
#if defined(_WIN32)
    // The system's own numbers, where the file layer reports them.
    constexpr int32_t kAccessDenied = 5, kWriteProtect = 19, kHandleDiskFull = 39, kDiskFull = 112;
    if (e.kind == EK_LAST_ERROR && (n == kDiskFull || n == kHandleDiskFull))
        return UPD_FAILURE_NO_SPACE;
    if (e.kind == EK_LAST_ERROR && (n == kAccessDenied || n == kWriteProtect))
        return UPD_FAILURE_READ_ONLY;
#endif
    if (e.kind == EK_NONE)
        return e.subject.empty() ? UPD_FAILURE_NONE : UPD_FAILURE_FILE;
    if (n == ENOSPC
#ifdef EDQUOT
        || n == EDQUOT
#endif
    )
        return UPD_FAILURE_NO_SPACE;
    if (n == EACCES || n == EPERM || n == EROFS)
        return UPD_FAILURE_READ_ONLY;
    return e.subject.empty() ? UPD_FAILURE_NONE : UPD_FAILURE_FILE;
}

} // namespace

bool CUpdateClient::getJobInfo(UpdJobInfo* info)
{
    if (info == nullptr)
        return false;
    {
        CLocked hold(m_lock);
        *info = m_info;
    }
    const std::string log = logFileName();
    std::strncpy(info->logFile, log.c_str(), sizeof info->logFile - 1);
    info->logFile[sizeof info->logFile - 1] = '\0';
    return true;
}

void CUpdateClient::noteFailure(const CSystemExcep& e)
{
    CLocked hold(m_lock);
    // The first failure is the cause; later ones often follow from it.
    if (m_info.failure != UPD_FAILURE_NONE)
        return;
    m_info.failure = failureOf(e);
    std::strncpy(m_info.path, e.subject.c_str(), sizeof m_info.path - 1);
    m_info.path[sizeof m_info.path - 1] = '\0';
}

void CUpdateClient::noteDownloadSize(uint64_t bytes)
{
    CLocked hold(m_lock);
    m_info.bytesTotal = bytes;
}

void CUpdateClient::noteSpaceShort(uint64_t needed, uint64_t available)
{
    CLocked hold(m_lock);
    m_info.spaceNeeded = needed;
    m_info.spaceFree = available;
}

void CUpdateClient::removePartsOf(const ChangeList& items)
{
    for (const FileChange& item : items.fileItems)
    {
        std::string path = m_localDir;
        addTrailingSlash(path);
        path += item.path;
        for (const char* suffix : {kPartialSuffix, kResumeSuffix})
        {
            // Removing a name never follows a link standing there.
            if (platform::removeFile((path + suffix).c_str()) == 0)
                logFileOnly("Removed '%s%s': the disk is full", path.c_str(), suffix);
        }
    }
}
