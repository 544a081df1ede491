// CUpdateClient: a changed file built from the chunks of its old version and
// the ranges that are new, where the server serves chunk indexes.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "newupdatesystem/Common/ChunkMessages.h"
#include "newupdatesystem/Common/ContentChunker.h"
#include "newupdatesystem/Common/FileReplacer.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/PathUtil.h"
#include "newupdatesystem/Common/StreamReceiver.h"
#include "newupdatesystem/client/ChunkSources.h"
#include "newupdatesystem/client/PartialFiles.h"
#include "newupdatesystem/client/ResumeRecord.h"
#include "newupdatesystem/client/UpdateClient.h"
#include "platform/Files.h"

namespace
{
// Range requests kept ahead of the build: the server keeps 1,024.
constexpr size_t kRangesAhead = 512;
// Local bytes are copied through a buffer of this size.
constexpr size_t kCopyBlock = size_t(1) << 20;
// The resume record of a large file is rewritten after about this many bytes.
constexpr uint64_t kRecordEvery = uint64_t(16) << 20;
// Files the update deletes that an added file may take chunks from.
constexpr size_t kMaxDonors = 8;
constexpr uint64_t kMaxDonorBytes = uint64_t(8) << 30;

// A run of the new file: copied from a local file at from, or downloaded.
struct Piece
{
    uint64_t offset = 0;
    uint64_t length = 0;
    CChunkSources* local = nullptr; // null: downloaded
    uint32_t source = 0;
    uint64_t from = 0;
};

std::vector<Piece> plan(const ChunkIndex& index, CChunkSources& own, CChunkSources* donors)
{
    std::vector<Piece> pieces;
    for (const ChunkEntry& c : index.chunks)
    {
        Piece next{c.offset, c.length};
        const CChunkSources::Where* at = own.find(c.hash);
        next.local = at ? &own : nullptr;
        if (!at && donors != nullptr && (at = donors->find(c.hash)) != nullptr)
            next.local = donors;
        if (at)
        {
            next.source = at->source;
            next.from = at->offset;
        }
        // Neighbours merge: one request per new run, one copy per old run.
        Piece* last = pieces.empty() ? nullptr : &pieces.back();
        if (last && last->local == next.local &&
            (!next.local || (last->source == next.source && last->from + last->length == next.from)))
        {
            last->length += c.length;
            continue;
        }
        pieces.push_back(next);
    }
    return pieces;
}
} // namespace

void CUpdateClient::choosePatchDonors(const ChangeList& toGive)
{
    m_donors.reset();
    m_donorPaths.clear();
    std::vector<const FileChange*> files;
    for (const FileChange& item : toGive.fileItems)
        if (item.kind == ChangeKind::Add && item.info.size >= CHUNK_INDEX_MIN_FILE)
            files.push_back(&item);
    // The largest first: a renamed pack is what pays most.
    std::sort(files.begin(), files.end(),
              [](const FileChange* a, const FileChange* b) { return a->info.size > b->info.size; });
    uint64_t bytes = 0;
    for (const FileChange* item : files)
    {
        if (m_donorPaths.size() == kMaxDonors || bytes + item->info.size > kMaxDonorBytes)
            break;
        std::string path = m_localDir;
        addTrailingSlash(path);
        path += item->path;
        m_donorPaths.push_back(path);
        bytes += item->info.size;
    }
}

bool CUpdateClient::patchable(const FileChange& item) const
{
    if (!m_streamAgreed || !m_indexOffered || (item.info.flags & FI_NOCOMPARE) ||
        item.info.size < CHUNK_INDEX_MIN_FILE || (m_itemFailures && isBlocked(item.path)))
        return false;
    std::string path = m_downloadFolder;
    addTrailingSlash(path);
    path += item.path;
    // A download an earlier run left half done goes on as it was.
    platform::FileStatus part;
    if (platform::fileStatus((path + kResumeSuffix).c_str(), part))
        return false;
    platform::FileStatus old;
    const bool hasOld = platform::fileStatus(path.c_str(), old, true) &&
                        old.kind == platform::FileKind::Regular && old.size > 0;
    // A file new at its place may be one the update deletes, renamed.
    return hasOld || (!m_donorPaths.empty() && m_downloadFolder == m_localDir);
}

bool CUpdateClient::patchDownload(const std::string& path, const FileChange& item)
{
    if (!patchable(item))
        return false;
    emitEvent(UPD_EVENT_FILE_REQUEST, item.path);
    CStreamReceiver::sendIndexRequest(packetChannel(), m_streamWindow, item.path, ChunkIndex::MAX_SIZE);
    std::vector<uint8_t> bytes;
    CStreamReceiver receiver(packetChannel(), m_streamWindow);
    try
    {
        receiver.receiveList(ChunkIndex::MAX_SIZE, [&](const uint8_t* data, size_t length, uint64_t)
                             { bytes.insert(bytes.end(), data, data + length); });
    }
    catch (const CProtoExcep& e)
    {
        // Only a refusal leaves the session in step.
        if (e.code != PROTO_UNKN_MSG || packetChannel().packetTag() != TAG_ACSS)
            throw;
        logFileOnly("No chunk index for '%s': taken whole", item.path);
        return false;
    }
    ChunkIndex index;
    const ChunkIndexCheck check = ChunkIndex::decode(bytes.data(), bytes.size(), CHUNK_PARAMS, index);
    if (check != ChunkIndexCheck::OK || index.fileSize != item.info.size)
    {
        logWarning("Chunk index of '%s' refused (check %d): taken whole", item.path, static_cast<int>(check));
        return false;
    }
    bytes = std::vector<uint8_t>();

    // What the old version holds, by hash; for a file new at its place,
    // what the files the update deletes hold.
    CChunkSources own;
    own.add(path);
    CChunkSources* donors = nullptr;
    if (own.empty() && !m_donorPaths.empty())
    {
        if (!m_donors)
        {
            m_donors = std::make_shared<CChunkSources>();
            for (const std::string& donor : m_donorPaths)
                m_donors->add(donor);
        }
        donors = m_donors.get();
    }
    struct CloseDonors
    {
        CChunkSources* donors;
        ~CloseDonors()
        {
            if (donors)
                donors->close();
        }
    } closeDonors{donors};
    const std::vector<Piece> pieces = plan(index, own, donors);

    uint64_t reused = 0;
    uint64_t fetched = 0;
    std::deque<const Piece*> asked;
    auto askMore = [&](std::vector<Piece>::const_iterator& next)
    {
        for (; next != pieces.end() && asked.size() < kRangesAhead; ++next)
        {
            if (next->local != nullptr)
                continue;
            CStreamReceiver::sendRequest(packetChannel(), m_streamWindow, item.path, next->offset,
                                         next->length);
            asked.push_back(&*next);
        }
    };
    auto nextAsk = pieces.cbegin();
    askMore(nextAsk);
    {
        // A large file is built in its partial file, so that an interrupted
        // build goes on from what it holds like any download.
        const bool resumable = item.info.size >= kResumableSize;
        const std::string partialPath = path + kPartialSuffix;
        const std::string recordPath = path + kResumeSuffix;
        std::unique_ptr<CFileReplacer> made =
            resumable ? std::make_unique<CFileReplacer>(path.c_str(), partialPath, 0)
                      : std::make_unique<CFileReplacer>(path.c_str());
        CFileReplacer& file = *made;
        ResumeRecord record = ResumeRecord::of(item);
        uint64_t recorded = 0;
        auto keepRecord = [&]
        {
            // The data reaches the system before the record vouches for it.
            file.flush();
            record.verified = recorded = file.size();
            record.write(recordPath);
        };
        auto keepRecordQuietly = [&]
        {
            try
            {
                keepRecord();
            }
            catch (const CSystemExcep&)
            {
            }
        };
        std::vector<uint8_t> block;
        try
        {
            for (const Piece& p : pieces)
            {
                if (p.local != nullptr)
                {
                    block.resize(kCopyBlock);
                    for (uint64_t done = 0; done < p.length;)
                    {
                        const size_t n = static_cast<size_t>(std::min<uint64_t>(p.length - done, kCopyBlock));
                        p.local->read(p.source, p.from + done, block.data(), n);
                        file.write(block.data(), static_cast<uint32_t>(n));
                        done += n;
                    }
                    reused += p.length;
                }
                else
                {
                    asked.pop_front();
                    receiver.receiveAnswer(p.offset, p.length,
                                           [&](const uint8_t* data, size_t length, uint64_t)
                                           { file.write(data, static_cast<uint32_t>(length)); });
                    fetched += p.length;
                    askMore(nextAsk);
                }
                if (p.offset + p.length < item.info.size)
                    progressWithin(p.offset + p.length);
                if (resumable && file.size() - recorded >= kRecordEvery)
                    keepRecord();
            }
        }
        catch (const CSystemExcep& e)
        {
            // On a full disk the part would only hold the space others need.
            if (resumable && e.kind == EK_ERRNO && e.errorNumber == ENOSPC)
            {
                file.discardPartial();
                platform::removeFile(recordPath.c_str());
            }
            else if (resumable)
            {
                keepRecordQuietly();
            }
            // The answers asked for are on their way: taken and dropped, so
            // that the session stays in step for the next file.
            while (!asked.empty())
            {
                const Piece* p = asked.front();
                asked.pop_front();
                receiver.receiveAnswer(p->offset, p->length, [](const uint8_t*, size_t, uint64_t) {});
            }
            throw;
        }
        catch (...)
        {
            if (resumable)
                keepRecordQuietly();
            throw;
        }
        // The old file goes out of use before the new one takes its name.
        own.close();
        emitEvent(UPD_EVENT_FILE_RECEIVED, item.path);
        try
        {
            commitChecked(file, item);
            if (resumable)
                platform::removeFile(recordPath.c_str());
            logInfo("Patched '%s': %llu bytes reused, %llu downloaded", item.path,
                    static_cast<unsigned long long>(reused), static_cast<unsigned long long>(fetched));
            return true;
        }
        catch (const CSystemExcep& e)
        {
            if (e.code != Z_CORRUPTED)
                throw;
            file.discardPartial();
            if (resumable)
                platform::removeFile(recordPath.c_str());
        }
    }
    // Chunks that hashed alike but differ, or an index that lies: once whole.
    logWarning("Patched '%s' failed its check: taken whole", item.path);
    streamDownload(path, item, false);
    return true;
}
