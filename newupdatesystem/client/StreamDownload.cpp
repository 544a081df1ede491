// CUpdateClient: the streaming transfer, used where the server offers it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/FileReplacer.h"
#include "newupdatesystem/Common/FileSha256.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/Common/StoredFormats.h"
#include "newupdatesystem/Common/StreamMessages.h"
#include "newupdatesystem/Common/StreamProto.h"
#include "newupdatesystem/Common/StreamReceiver.h"
#include "newupdatesystem/Common/TrustProto.h"
#include "newupdatesystem/client/ClientLock.h"
#include "newupdatesystem/client/PartialFiles.h"
#include "newupdatesystem/client/ReleaseCheck.h"
#include "newupdatesystem/client/ResumeRecord.h"
#include "newupdatesystem/client/UpdateClient.h"
#include "newupdatesystem/client/WriteBehind.h"
#include "platform/Files.h"
#include "platform/OpenNoFollow.h"

void CUpdateClient::setStreaming(bool enabled)
{
    CLocked hold(m_lock);
    if (refuseAfterStart("setStreaming"))
        return;
    m_streamWanted = enabled;
}

namespace
{
// The most a streamed list may hold; a list of the most files the format
// allows needs a fraction of it.
constexpr uint64_t kMaxStreamedList = uint64_t(64) << 20;
} // namespace

void CUpdateClient::negotiateStream(uint32_t serverVersion)
{
    // Only asked where offered: a base server never sees the request.
    m_streamAgreed = false;
    m_indexOffered = false;
    m_listsRequested.clear();
    m_streamedLists.clear();
    m_listChecksumAsked = false;
    m_listCacheCurrent = false;
    if (!m_trustKeyFile.empty() && (m_job == JOB_UPDATE || m_job == JOB_SELF_UPDATE))
        requireSignedRelease(serverVersion);
    if (!m_streamWanted || !m_command.empty() || (serverVersion & SERVER_OFFERS_STREAM) == 0)
        return;
    const auto request = StreamOpenMsg{STREAM_VERSION, STREAM_DEFAULT_WINDOW}.encode();
    sendPacket(request.data(), request.size());
    // The server that offered the extension takes these right after "Strm",
    // so the lists cost no round trip of their own. Where a copy of "list" is
    // kept, its checksum is asked for instead of the list.
    if (m_job == JOB_UPDATE)
    {
        platform::FileStatus kept;
        m_listChecksumAsked =
            !m_serverListCache.empty() && platform::fileStatus(m_serverListCache.c_str(), kept);
        if (m_listChecksumAsked)
            sendText(TAG_GETS, "list");
        else
            m_listsRequested.push_back("list");
        m_listsRequested.push_back("ignore");
        m_listsRequested.push_back("self_upd");
    }
    else if (m_job == JOB_SELF_UPDATE)
    {
        m_listsRequested.push_back("self_upd");
    }
    // The manifest comes first: nothing else is used before it is verified.
    if (m_release)
        m_listsRequested.insert(m_listsRequested.begin(), kSignedReleaseList);
    for (const std::string& name : m_listsRequested)
        CStreamReceiver::sendListRequest(packetChannel(), STREAM_DEFAULT_WINDOW, name, kMaxStreamedList);
    recvPacket();
    StreamOpenMsg granted;
    if (StreamOpenMsg::decode(packetData(), packetLength(), granted) != WireCheck::OK ||
        granted.version != STREAM_VERSION)
        throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
    m_streamWindow = granted.window;
    m_streamAgreed = true;
    m_indexOffered = (serverVersion & SERVER_OFFERS_CHUNK_INDEX) != 0;
    logInfo("Streaming transfer agreed, window %u kb", m_streamWindow >> 10);
}

void CUpdateClient::receiveStreamedLists()
{
    std::vector<std::string> names;
    names.swap(m_listsRequested);
    if (m_listChecksumAsked)
    {
        // Answered first, as asked first.
        m_listChecksumAsked = false;
        uint8_t remote[16];
        recvChecksum(remote);
        try
        {
            CDataFile kept(m_serverListCache.c_str(), false);
            uint8_t local[16] = {};
            if (kept.size() > 0)
                CMd5::digest(kept.data(), kept.size(), local);
            m_listCacheCurrent = std::memcmp(local, remote, sizeof local) == 0;
        }
        catch (const CExcep&)
        {
            // Unreadable: fetched like a changed one.
        }
        if (!m_listCacheCurrent)
        {
            CStreamReceiver::sendListRequest(packetChannel(), m_streamWindow, "list", kMaxStreamedList);
            names.push_back("list");
        }
    }
    CStreamReceiver receiver(packetChannel(), m_streamWindow);
    for (const std::string& name : names)
    {
        std::vector<uint8_t>& bytes = m_streamedLists[name];
        bytes.clear();
        receiver.receiveList(kMaxStreamedList, [&](const uint8_t* data, size_t length, uint64_t)
                             { bytes.insert(bytes.end(), data, data + length); });
    }
    if (m_release && !m_release->accepted())
        acceptRelease();
}

namespace
{
constexpr uint64_t kResumeFrom = kResumableSize;
// The resume record is rewritten after about this many bytes.
constexpr uint64_t kRecordEvery = uint64_t(16) << 20;
// Requests sent ahead: at most this many files and about this many bytes.
constexpr size_t kAheadFiles = 1000; // the server keeps 1024
constexpr uint64_t kAheadBytes = uint64_t(64) << 20;

// Everything written was verified: a later try starts after it.
template <typename Keep> void keepRecordQuietly(Keep& keep)
{
    try
    {
        keep();
    }
    catch (const CSystemExcep&)
    {
    }
}
} // namespace

bool CUpdateClient::requestAhead(std::list<FileChange>::const_iterator at,
                                 std::list<FileChange>::const_iterator end)
{
    auto small = [&](const FileChange& it)
    {
        return !(it.info.flags & FI_NOCOMPARE) && it.info.size < kResumeFrom &&
               !(m_itemFailures && isBlocked(it.path)) && !patchable(it);
    };
    if (!small(*at))
        return false;
    // What is requested already runs from at to m_aheadEnd.
    size_t count = m_streamAhead;
    auto next = count == 0 ? at : m_aheadEnd;
    uint64_t bytes = count == 0 ? 0 : m_aheadBytes;
    // Answers come in the order asked: a file that is not requested ahead
    // ends the run, and is asked for in its turn.
    while (next != end && count < kAheadFiles && (count == 0 || bytes < kAheadBytes) && small(*next))
    {
        CStreamReceiver::sendRequest(packetChannel(), m_streamWindow, next->path, 0, next->info.size);
        bytes += next->info.size;
        ++count;
        ++next;
    }
    m_streamAhead = count - 1;
    m_aheadEnd = next;
    m_aheadBytes = bytes - at->info.size;
    return true;
}

void CUpdateClient::streamDownload(const std::string& path, const FileChange& item, bool requested)
{
    emitEvent(UPD_EVENT_FILE_REQUEST, item.path);
    CWriteBehind& behind = *m_writeBehind;
    if (requested)
    {
        // Its answer is on the way: taken whole even when the file cannot be
        // written, so that the next answer is read as the next file's. It is
        // written here; checked and put in place behind the transfer, where
        // a failure is reported with the file's name.
        std::vector<uint8_t> bytes;
        bytes.reserve(static_cast<size_t>(item.info.size));
        CStreamReceiver receiver(packetChannel(), m_streamWindow);
        receiver.receiveAnswer(0, item.info.size,
                               [&](const uint8_t* data, size_t length, uint64_t)
                               { bytes.insert(bytes.end(), data, data + length); });
        emitEvent(UPD_EVENT_FILE_RECEIVED, item.path);
        auto file = std::make_shared<CFileReplacer>(path.c_str());
        file->append(bytes.data(), static_cast<uint32_t>(bytes.size()));
        const size_t held = bytes.size();
        behind.post(
            [file, &item, bytes = std::move(bytes), release = m_release]
            {
                uint8_t digest[16] = {};
                if (!bytes.empty())
                    CMd5::digest(bytes.data(), bytes.size(), digest);
                if (release)
                    release->checkFile(item.path, bytes.size(),
                                       platform::CSha256::digest(bytes.data(), bytes.size()));
                commitChecked(*file, item, digest);
            },
            held, item.path);
        return;
    }
    // A large file's verified part survives an interruption under names
    // derived from the target (so inside the installation) that end in
    // ".log", which scans of the installation pass over.
    const bool resumable = item.info.size >= kResumeFrom;
    const std::string partialPath = path + kPartialSuffix;
    const std::string recordPath = path + kResumeSuffix;
    ResumeRecord record = ResumeRecord::of(item);
    uint64_t keep = 0;
    if (resumable)
    {
        ResumeRecord earlier;
        if (earlier.read(recordPath) && earlier.sameFile(record))
            keep = earlier.verified;
    }
    std::unique_ptr<CFileReplacer> file =
        resumable ? std::make_unique<CFileReplacer>(path.c_str(), partialPath, keep)
                  : std::make_unique<CFileReplacer>(path.c_str());
    const uint64_t from = file->size();
    if (resumable)
    {
        if (from != 0)
            logInfo("Resuming '%s' at %llu of %llu bytes", item.path, static_cast<unsigned long long>(from),
                    static_cast<unsigned long long>(item.info.size));
        record.verified = from;
        record.write(recordPath);
    }
    uint64_t recorded = from;
    CStreamReceiver receiver(packetChannel(), m_streamWindow);
    auto keepRecord = [&]
    {
        // The data reaches the system before the record vouches for it.
        file->flush();
        record.verified = recorded = file->size();
        record.write(recordPath);
    };
    // The bytes are written here and checksummed behind the transfer; the
    // checksum is touched here only once that has drained.
    CMd5 md5 = file->checksum();
    // With a signed release, SHA-256 beside the MD5, the kept part included.
    std::unique_ptr<platform::CSha256> sha;
    if (m_release)
    {
        sha = std::make_unique<platform::CSha256>();
        if (from != 0 && !addFileToSha256(file->temporaryPath().c_str(), from, *sha))
            throw CSystemExcep(FILE_READ, EK_NONE, 0, file->temporaryPath(), EXCEP_HERE());
    }
    struct Drain
    {
        CWriteBehind& behind;
        ~Drain() { behind.drain(); }
    } drain{behind};
    try
    {
        receiver.receive(item.path, from, item.info.size - from,
                         [&](const uint8_t* bytes, size_t length, uint64_t offset)
                         {
                             file->append(bytes, static_cast<uint32_t>(length));
                             behind.post(
                                 [&md5, &sha, piece = std::vector<uint8_t>(bytes, bytes + length)]
                                 {
                                     md5.update(piece.data(), piece.size());
                                     if (sha)
                                         sha->update(piece.data(), piece.size());
                                 },
                                 length, item.path);
                             if (resumable && file->size() - recorded >= kRecordEvery)
                                 keepRecord();
                             // The end is reported with the file.
                             if (offset + length < item.info.size)
                                 progressWithin(offset + length);
                         });
    }
    catch (const CSystemExcep& e)
    {
        // On a full disk the part would only hold the space others need.
        if (resumable && e.kind == EK_ERRNO && e.errorNumber == ENOSPC)
        {
            file->discardPartial();
            platform::removeFile(recordPath.c_str());
            throw;
        }
        if (resumable)
            keepRecordQuietly(keepRecord);
        throw;
    }
    catch (...)
    {
        // Everything written was verified: a later try starts after it.
        if (resumable)
        {
            try
            {
                keepRecord();
            }
            catch (const CSystemExcep&)
            {
            }
        }
        throw;
    }
    if (receiver.repeatedSegments() != 0)
        logWarning("'%s': %u damaged segments received again", item.path, receiver.repeatedSegments());
    emitEvent(UPD_EVENT_FILE_RECEIVED, item.path);
    behind.drain();
    uint8_t digest[16] = {};
    if (file->size() > 0)
        md5.final(digest);
    try
    {
        if (m_release)
            m_release->checkFile(item.path, file->size(), sha->final());
        commitDownload(*file, item, digest);
    }
    catch (const CSystemExcep& e)
    {
        // A part that does not add up to the file is no use to a later try.
        if (e.code == Z_CORRUPTED)
        {
            file->discardPartial();
            platform::removeFile(recordPath.c_str());
        }
        throw;
    }
    if (resumable)
        platform::removeFile(recordPath.c_str());
}
