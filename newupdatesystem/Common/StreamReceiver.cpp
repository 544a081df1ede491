#include "newupdatesystem/Common/StreamReceiver.h"

#include <algorithm>
#include <exception>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/SkipDeadline.h"
#include "newupdatesystem/Common/StreamMessages.h"

namespace
{
const char* const kReceive = "CStreamReceiver::receive";

// Deflate spends at least 2 bits on a run of 258 bytes, so a zlib stream
// unpacks to at most 1032 times what it holds beyond its 6-byte frame. Real
// packers come close on zeros (8 MiB pack to 8,163 bytes with zlib, 1028:1;
// to 8,488 with libdeflate), so a legitimate segment is never refused, while
// a length that no stream of its size could reach is refused unread.
constexpr uint64_t kMaxInflation = 1032;
constexpr uint32_t kZlibFrame = 6;

bool couldInflateTo(uint32_t packedLength, uint32_t rawLength)
{
    return packedLength > kZlibFrame && uint64_t(packedLength - kZlibFrame) * kMaxInflation >= rawLength;
}
} // namespace

CStreamReceiver::CStreamReceiver(CPacketChannel& channel, uint32_t window)
    : m_channel(channel), m_window(std::clamp(window, STREAM_MIN_WINDOW, STREAM_MAX_WINDOW)),
      m_codec(1, SegmentProbe::NONE)
{
}

void CStreamReceiver::sendAck(uint64_t verified)
{
    const auto ack = StreamAckMsg{verified, verified + m_window}.encode();
    m_channel.sendPacket(ack.data(), ack.size());
}

uint64_t CStreamReceiver::receive(const std::string& name, uint64_t offset, uint64_t length, const Sink& sink)
{
    request(name, offset, length);
    return receiveAnswer(offset, length, sink);
}

void CStreamReceiver::sendRequest(CPacketChannel& channel, uint32_t window, const std::string& name,
                                  uint64_t offset, uint64_t length)
{
    sendGet(channel, TAG_SGET, window, name, offset, length);
}

void CStreamReceiver::sendListRequest(CPacketChannel& channel, uint32_t window, const std::string& name,
                                      uint64_t maxSize)
{
    sendGet(channel, TAG_SLST, window, name, 0, maxSize);
}

void CStreamReceiver::sendIndexRequest(CPacketChannel& channel, uint32_t window, const std::string& name,
                                       uint64_t maxSize)
{
    sendGet(channel, TAG_SIDX, window, name, 0, maxSize);
}

void CStreamReceiver::sendGet(CPacketChannel& channel, uint32_t tag, uint32_t window, const std::string& name,
                              uint64_t offset, uint64_t length)
{
    window = std::clamp(window, STREAM_MIN_WINDOW, STREAM_MAX_WINDOW);
    if (length > UINT64_MAX - offset || name.empty() || name.size() > GET_REQUEST_LIMIT)
        throw CProtoExcep(PROTO_TOO_LARGE, EXCEP_SITE(kReceive));
    const WirePacket packet =
        StreamRequestMsg{tag != TAG_SGET, offset, length, offset + window, name, tag == TAG_SIDX}.encode();
    channel.sendPacket(packet.data(), uint32_t(packet.size()));
}

uint64_t CStreamReceiver::receiveRange(uint64_t offset, uint64_t length, const Sink& sink, bool whole)
{
    m_repeated = 0;
    m_channel.recvPacket();
    StreamInfoMsg info;
    if (StreamInfoMsg::decode(m_channel.packetData(), m_channel.packetLength(), info) != WireCheck::OK)
        throw CProtoExcep(PROTO_UNKN_MSG, EXCEP_SITE(kReceive));
    const uint64_t fileSize = info.fileSize;
    const uint32_t segmentSize = info.segmentSize;
    if (whole && fileSize <= length)
        length = fileSize;
    if (segmentSize == 0 || segmentSize > STREAM_MAX_SEGMENT || offset > fileSize ||
        length > fileSize - offset || (whole && length != fileSize))
        throw CProtoExcep(PROTO_DATA, EXCEP_SITE(kReceive));

    const uint64_t end = offset + length;
    uint64_t verified = offset;
    unsigned repeats = 0;
    std::exception_ptr sinkFailure;
    bool skipping = false; // until the segment asked for again begins
    CSkipDeadline skip(m_channel.ioTimeout());
    m_packed.clear();
    auto askAgain = [&]
    {
        if (++repeats > STREAM_MAX_REPEATS)
            throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kReceive));
        ++m_repeated;
        const auto rep = StreamRepeatMsg{verified}.encode();
        m_channel.sendPacket(rep.data(), rep.size());
        skipping = true;
        skip.start();
        m_packed.clear();
    };
    while (verified < end)
    {
        m_channel.recvPacket();
        if (skipping && skip.dropped(m_channel.packetTag() == TAG_SDAT ? m_channel.packetLength() : 0))
            throw CProtoExcep(PROTO_TIMEOUT, EXCEP_SITE(kReceive));
        // While skipping, the answers to later requests go by as well: they
        // come again after the segment asked for.
        if (skipping && m_channel.packetTag() != TAG_SDAT)
            continue;
        const uint8_t* p = m_channel.packetData();
        StreamChunkHead h;
        if (StreamChunkHead::decode(p, m_channel.packetLength(), h) != WireCheck::OK)
            throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kReceive));
        const uint32_t chunk = m_channel.packetLength() - StreamChunkHead::SIZE;
        if (skipping)
        {
            if (h.segment != verified || h.chunkOffset != 0)
                continue;
            skipping = false;
        }
        const bool stored = h.method == uint32_t(SegmentMethod::STORED);
        const uint32_t expectedRaw = uint32_t(std::min<uint64_t>(segmentSize, end - verified));
        if (h.segment != verified || h.rawLength != expectedRaw ||
            (!stored && h.method != uint32_t(SegmentMethod::ZLIB)) ||
            (stored ? h.packedLength != h.rawLength : h.packedLength >= h.rawLength) ||
            h.chunkOffset != m_packed.size() || chunk > h.packedLength - h.chunkOffset)
            throw CProtoExcep(PROTO_DATA, EXCEP_SITE(kReceive));
        if (!stored && !couldInflateTo(h.packedLength, h.rawLength))
            throw CProtoExcep(PROTO_DATA, EXCEP_SITE(kReceive));
        const uint8_t* content = p + StreamChunkHead::SIZE;
        if (calcCrc32(content, chunk, 0) != h.crc)
        {
            askAgain();
            continue;
        }
        m_packed.insert(m_packed.end(), content, content + chunk);
        if (m_packed.size() < h.packedLength)
            continue;
        const uint8_t* bytes = m_packed.data();
        if (!stored)
        {
            if (!m_codec.unpack(SegmentMethod::ZLIB, m_packed.data(), m_packed.size(), h.rawLength, m_raw))
            {
                askAgain();
                continue;
            }
            bytes = m_raw.data();
        }
        if (!sinkFailure)
        {
            try
            {
                sink(bytes, h.rawLength, verified);
            }
            catch (...)
            {
                sinkFailure = std::current_exception();
            }
        }
        verified += h.rawLength;
        m_packed.clear();
        repeats = 0;
        sendAck(verified);
    }
    if (sinkFailure)
        std::rethrow_exception(sinkFailure);
    return fileSize;
}
