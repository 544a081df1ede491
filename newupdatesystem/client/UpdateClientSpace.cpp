// CUpdateClient: the disk space an update needs, and the parts interrupted
// downloads left behind. A server's list decides how much the client writes,
// so the list is held against the free space before anything is written.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/PathUtil.h"
#include "newupdatesystem/client/PartialFiles.h"
#include "newupdatesystem/client/UpdateClient.h"
#include "platform/Files.h"

namespace
{
// Small files wait under temporary names beside the files they replace
// while the write-behind thread checks them: at most this many bytes.
constexpr uint64_t kPendingBytes = uint64_t(16) << 20;

std::string lowerPath(std::string path)
{
    for (char& c : path)
        c = c == '\\' ? '/' : (c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c);
    return path;
}

bool endsWith(const std::string& s, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() > n && s.compare(s.size() - n, n, suffix) == 0;
}

// The file a part belongs to; empty when the name is no part's.
std::string partTarget(const std::string& path)
{
    for (const char* suffix : {kPartialSuffix, kResumeSuffix})
    {
        if (endsWith(path, suffix))
            return path.substr(0, path.size() - std::strlen(suffix));
    }
    return std::string();
}

bool resumable(const FileChange& item)
{
    return !(item.info.flags & FI_NOCOMPARE) && item.info.size >= kResumableSize;
}

std::string itemPath(const std::string& folder, const char* path)
{
    std::string full = folder;
    addTrailingSlash(full);
    return full + path;
}
} // namespace

void CUpdateClient::removeLeftoverParts(const ChangeList* continued)
{
    std::set<std::string> kept;
    if (continued != nullptr)
    {
        for (const FileChange& item : continued->fileItems)
            if (resumable(item))
                kept.insert(lowerPath(itemPath(m_localDir, item.path)));
    }
    // What stays is remembered, so that a later call may still remove it.
    std::vector<std::string> left;
    for (const std::string& path : m_localList.passedOver)
    {
        std::string target = partTarget(path);
        if (target.empty() || kept.count(lowerPath(target)))
        {
            if (!target.empty())
                left.push_back(path);
            continue;
        }
        // Removing a name never follows a link standing there.
        if (platform::removeFile(path.c_str()) == 0)
            logFileOnly("Removed '%s' left by an earlier download", path.c_str());
    }
    m_localList.passedOver.swap(left);
}

void CUpdateClient::checkDiskSpace(const ChangeList& toTake, DiskUse use)
{
    // A replaced file goes once its successor is in place: at its peak the
    // disk holds what the files grow by, and the old files whose successors
    // are on their way (the largest one, and small ones up to what the
    // write-behind thread holds). A kept part is on the disk already.
    uint64_t growth = 0;
    uint64_t largestReplaced = 0;
    uint64_t replaced = 0;
    for (const FileChange& item : toTake.fileItems)
    {
        uint64_t old = 0;
        const FileEntry* entry = use == DiskUse::ReplacesFiles ? m_localList.findEntry(item.path) : nullptr;
        if (entry && !entry->isFolder())
            old = entry->size;
        uint64_t need = item.info.size;
        platform::FileStatus part;
        std::string partial = itemPath(m_localDir, item.path) + kPartialSuffix;
        if (resumable(item) &&
            platform::fileStatus(platform::resolvePath(partial.c_str()).c_str(), part, true) &&
            part.kind == platform::FileKind::Regular && !part.link)
            need -= std::min(need, part.size);
        growth += need > old ? need - old : 0;
        largestReplaced = std::max(largestReplaced, std::min(old, need));
        replaced += std::min(old, need);
    }
    const uint64_t needed = growth + largestReplaced + std::min(replaced, kPendingBytes);
    uint64_t available = 0;
    if (!platform::freeDiskSpace(m_localDir.c_str(), available))
    {
        logWarning("Could not tell the free disk space of '%s'", m_localDir.c_str());
        return;
    }
    if (needed <= available)
        return;
    logError("Not enough disk space for the update: %llu kb needed, %llu kb available",
             static_cast<unsigned long long>(needed >> 10), static_cast<unsigned long long>(available >> 10));
    noteSpaceShort(needed, available);
    removeLeftoverParts(nullptr);
    throw CSystemExcep(FILE_WRITE, EK_ERRNO, ENOSPC, m_localDir, EXCEP_HERE());
}
