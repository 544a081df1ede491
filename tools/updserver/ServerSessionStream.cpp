// CServerSession: the streaming transfer, once the client has asked for it.
#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/Common/StoredFormats.h"
#include "newupdatesystem/Common/StreamMessages.h"
#include "newupdatesystem/Common/StreamProto.h"
#include "tools/updserver/ContentStore.h"
#include "tools/updserver/PackCache.h"
#include "tools/updserver/ServerSession.h"
#include "tools/updserver/StreamSender.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;

namespace
{
// The disk store's key of one packed segment: derived from the file's
// content, so that a restart or another server finds it too.
void segmentKey(const uint8_t fileMd5[16], uint64_t offset, uint32_t length, uint8_t key[16])
{
    SegmentKeySource what;
    std::copy(fileMd5, fileMd5 + sizeof what.fileMd5, what.fileMd5);
    what.offset = offset;
    what.length = length;
    const auto bytes = what.encode();
    CMd5::digest(bytes.data(), bytes.size(), key);
}

// The MD5 the list holds for the file, as the disk store keys content.
std::array<uint8_t, 16> listMd5(const FileInfo& info)
{
    std::array<uint8_t, 16> md5;
    checksumBytes(info, md5.data());
    return md5;
}

// A kept segment's key names a range of the file, not its bytes: it is
// checked against the range itself (a marker of a segment kept unpacked
// holds no bytes to check).
bool segmentMatches(const CDataFile& packed, const fs::path& disk, uint64_t offset, uint32_t length)
{
    if (packed.size() == CDataFile::HEADER_SIZE)
    {
        PackedHead head;
        return PackedHead::decode(packed.data(), packed.size(), head) == WireCheck::OK &&
               head.packedSize == 0;
    }
    CDataFile plain;
    try
    {
        plain.unpackFrom(packed.data(), packed.size());
    }
    catch (const CExcep&)
    {
        return false;
    }
    std::vector<char> raw(length);
    std::ifstream in(disk, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    return plain.size() == length && in.read(raw.data(), length) &&
           std::equal(raw.begin(), raw.end(), reinterpret_cast<const char*>(plain.data()));
}

// Larger files keep their packed segments in the disk store, where there is
// one, as long as they fit: a file larger than the store would otherwise push
// out everything, its own first segments included, for every client.
void keepSegments(CPackStore* store, const FileInfo& info, const fs::path& disk,
                  CStreamSender::Source& source)
{
    if (store == nullptr || source.size <= STREAM_SEGMENT_SIZE || !(info.flags & FI_CHECKSUM))
        return;
    const std::array<uint8_t, 16> md5 = listMd5(info);
    source.findSegment = [store, md5, disk](uint64_t offset, uint32_t length)
    {
        uint8_t key[16];
        segmentKey(md5.data(), offset, length, key);
        return store->load(key, length,
                           [&](const CDataFile& packed)
                           { return segmentMatches(packed, disk, offset, length); });
    };
    source.keepSegment =
        [store, md5](uint64_t offset, uint32_t length, const uint8_t* stream, size_t streamLength)
    {
        if (!store->hasRoomFor(static_cast<uint32_t>(CDataFile::HEADER_SIZE + streamLength)))
            return;
        uint8_t key[16];
        segmentKey(md5.data(), offset, length, key);
        const auto head = PackedHead{length, static_cast<uint32_t>(streamLength)}.encode();
        CDataFile image;
        image.reserve(static_cast<uint32_t>(head.size() + streamLength));
        image.writeAt(head.data(), head.size(), 0);
        image.writeAt(stream, static_cast<uint32_t>(streamLength), head.size());
        store->save(key, length, image);
    };
}
} // namespace

void CServerSession::onStreamOpen()
{
    StreamOpenMsg wanted;
    if (m_kind != TAG_FILE ||
        StreamOpenMsg::decode(m_channel.packetData(), m_channel.packetLength(), wanted) != WireCheck::OK)
        violation("\"Strm\" outside a file session or malformed");
    uint32_t window = std::clamp(wanted.window, STREAM_MIN_WINDOW, STREAM_MAX_WINDOW);
    const auto answer = StreamOpenMsg{STREAM_VERSION, window}.encode();
    sendPacket(answer.data(), answer.size());
    m_streaming = true;
    logFileOnly("%s: streaming transfer agreed", m_peer.c_str());
}

void CServerSession::onStreamGet()
{
    CStreamSender::Request request;
    if (!m_streaming)
        violation("\"SGet\" or \"SLst\" before \"Strm\"");
    if (!CStreamSender::parseRequest(m_channel.packetData(), m_channel.packetLength(), request))
        violation("malformed \"SGet\" or \"SLst\"");
    CStreamSender sender(m_channel, [this](const CStreamSender::Request& r, CStreamSender::Source& source)
                         { return openStream(r, source); });
    limitStream(sender);
    struct Unstream
    {
        Link& link;
        ~Unstream() { link.m_streaming = false; }
    } unstream{m_link};
    try
    {
        const uint64_t bytes = sender.serve(request);
        m_repeatsUsed += sender.repeatedSegments();
        m_server.countServed(bytes, sender.filesCompleted());
    }
    catch (const CProtoExcep& e)
    {
        if (e.code == PROTO_QUIT)
        {
            logInfo("%s: client quit during a transfer", m_peer.c_str());
            throw End{};
        }
        channelFailure(e, "answer that does not fit the streamed transfers, or too many requests");
    }
    catch (const std::runtime_error& e)
    {
        logWarning("%s: cannot read a streamed file: %s", m_peer.c_str(), e.what());
        m_server.metrics().countError(CMetrics::ERR_READ);
        throw End{};
    }
}

// The session's allowance of repeats, and the client's progress as it verifies.
void CServerSession::limitStream(CStreamSender& sender)
{
    sender.limitRepeats(kMaxStreamRepeats - std::min(m_repeatsUsed, kMaxStreamRepeats));
    sender.onVerified([this](uint64_t bytes) { m_progress.add(bytes); });
    m_link.m_streaming = true;
}

bool CServerSession::openStream(const CStreamSender::Request& request, CStreamSender::Source& source)
{
    if (!m_snapshot)
        m_snapshot = m_server.store().snapshot();
    if (request.index)
        return openIndex(request, source);
    if (request.list)
        return openList(request, source);
    fs::path disk;
    FileInfo info;
    if (!m_server.store().locate(*m_snapshot, request.name, disk, &info))
    {
        logWarning("%s: unknown file '%s' requested", m_peer.c_str(), request.name.c_str());
        m_server.metrics().countError(CMetrics::ERR_NOT_FOUND);
        return false;
    }
    std::error_code ec;
    source.size = fs::file_size(disk, ec);
    if (ec)
    {
        logWarning("%s: cannot read '%s'", m_peer.c_str(), request.name.c_str());
        m_server.metrics().countError(CMetrics::ERR_READ);
        return false;
    }
    if (request.offset > source.size || request.length > source.size - request.offset)
    {
        logWarning("%s: range beyond the end of '%s' requested", m_peer.c_str(), request.name.c_str());
        return false;
    }
    // An empty range is answered from the size alone: no descriptor for it.
    if (request.length == 0)
        return true;
    auto file = std::make_unique<std::ifstream>(disk, std::ios::binary);
    if (!*file)
    {
        logWarning("%s: cannot read '%s'", m_peer.c_str(), request.name.c_str());
        m_server.metrics().countError(CMetrics::ERR_READ);
        return false;
    }
    source.file = std::move(file);
    keepSegments(m_server.cache().store(), info, disk, source);
    logFileOnly("%s: streaming '%s' from %llu, %llu bytes", m_peer.c_str(), request.name.c_str(),
                static_cast<unsigned long long>(request.offset),
                static_cast<unsigned long long>(request.length));
    // A small file whole comes from the pack cache, packed once for all, when
    // it is there; the client does not wait for a packing at the cache's
    // level, its segment is packed quickly instead.
    if (request.offset == 0 && request.length == source.size && source.size != 0 &&
        source.size <= STREAM_SEGMENT_SIZE)
    {
        std::shared_ptr<const CDataFile> image;
        try
        {
            image = m_server.cache().peek(disk);
        }
        catch (const CExcep&)
        {
            // Packed per segment instead.
        }
        catch (const std::exception&)
        {
        }
        // Not in memory yet, as after a restart: the disk store has it under
        // the content the list vouches for, without reading the file first.
        CPackStore* store = m_server.cache().store();
        if (!image && store != nullptr && (info.flags & FI_CHECKSUM))
            image = store->load(listMd5(info).data(), static_cast<uint32_t>(source.size));
        if (image)
        {
            source.image = image->data();
            source.imageLength = image->size();
            source.keep = image;
        }
    }
    return true;
}

// A list streams from its unpacked bytes, as "Get " would have sent them packed.
bool CServerSession::openList(const CStreamSender::Request& request, CStreamSender::Source& source)
{
    const PublishedFile* list = CContentStore::special(*m_snapshot, request.name, true);
    if (!list)
    {
        logWarning("%s: unknown list '%s' requested", m_peer.c_str(), request.name.c_str());
        return false;
    }
    CDataFile plain;
    try
    {
        plain.unpackFrom(list->packed.data(), list->packed.size());
    }
    catch (const CExcep& e)
    {
        logWarning("%s: cannot unpack list '%s': exception %d", m_peer.c_str(), request.name.c_str(), e.code);
        return false;
    }
    source.size = plain.size();
    source.file = std::make_unique<std::istringstream>(
        std::string(reinterpret_cast<const char*>(plain.data()), plain.size()));
    logFileOnly("%s: streaming list '%s'", m_peer.c_str(), request.name.c_str());
    return true;
}
