#include "newupdatesystem/Common/PacketChannel.h"

#include <algorithm>
#include <cstring>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Messages.h"

namespace
{
// What gathering holds at most before it sends.
constexpr uint32_t kGatherBytes = 256u << 10;
// What one receive takes at most: several frames of a burst at once.
constexpr uint32_t kReceiveBytes = 8 * FRAME_NOMINAL_SIZE;
} // namespace

CPacketChannel::CPacketChannel(IPacketLink& link, const PacketSites& sites, double ioTimeout)
    : m_link(link), m_sites(sites), m_timeout(ioTimeout),
      m_decoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE),
      m_encoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE),
      m_recvBuffer(new uint8_t[kReceiveBytes]())
{
}

CPacketChannel::~CPacketChannel() = default;

// ---------------------------------------------------------------- sending

void CPacketChannel::sendPacket(const void* head, uint32_t headLength, const void* data, uint32_t dataLength)
{
    m_encoder.reset();
    if (!m_encoder.encode(head, headLength) || (dataLength != 0 && !m_encoder.encode(data, dataLength)) ||
        !m_encoder.finish())
        throw CProtoExcep(PROTO_PACKET, EXCEP_SITE(m_sites.sendPacket));

    if (m_gathering)
    {
        if (m_gathered.size() + m_encoder.size() > kGatherBytes)
            flush();
        m_gathered.insert(m_gathered.end(), m_encoder.data(), m_encoder.data() + m_encoder.size());
    }
    else
    {
        sendAll(m_encoder.data(), m_encoder.size());
    }
    m_link.onSent(m_encoder.size());
}

void CPacketChannel::sendAll(const uint8_t* p, uint32_t left)
{
    // The peer's decoder needs every frame whole: the rest follows until all
    // is sent or the time is up. A stop is honoured only between waits, so a
    // frame the system takes at once always goes out.
    CStopwatch watch;
    for (;;)
    {
        uint32_t n = m_link.sendSome(p, left);
        p += n;
        left -= n;
        if (left == 0)
            break;
        if (watch.elapsed() > m_timeout)
            throw CProtoExcep(PROTO_TIMEOUT, EXCEP_SITE(m_sites.sendPacket));
        m_link.checkStop();
    }
}

void CPacketChannel::setGathering(bool on)
{
    if (!on)
        flush();
    m_gathering = on;
}

void CPacketChannel::dropGathered()
{
    m_gathering = false;
    m_gathered.clear();
}

void CPacketChannel::flush()
{
    if (m_gathered.empty())
        return;
    // Gone even when sending fails: what follows must not resend a part.
    struct Clear
    {
        std::vector<uint8_t>& bytes;
        ~Clear() { bytes.clear(); }
    } clear{m_gathered};
    sendAll(m_gathered.data(), static_cast<uint32_t>(m_gathered.size()));
}

void CPacketChannel::sendMsg(uint32_t signature, uint32_t tag)
{
    const auto head = PacketHead{signature, tag}.encode();
    sendPacket(head.data(), head.size());
}

void CPacketChannel::sendText(uint32_t tag, const std::string& text)
{
    const WirePacket packet =
        encodeWireText(PacketHead{PACKET_SIGNATURE, tag}.encode().data(), BODY_OFFSET, text);
    sendPacket(packet.data(), uint32_t(packet.size()));
}

void CPacketChannel::sendData(uint32_t tag, uint32_t subtag, const void* bytes, uint32_t length)
{
    const uint8_t* data = static_cast<const uint8_t*>(bytes);
    uint32_t done = 0;
    unsigned repeats = 0;
    while (done < length)
    {
        m_link.checkStop();
        uint32_t n = std::min(length - done, CHUNK_MAX_SIZE);
        const auto header =
            DataChunkHeader{PACKET_SIGNATURE, tag, subtag, n, done, calcCrc32(data + done, n, 0)}.encode();
        sendPacket(header.data(), header.size(), data + done, n);
        if (tag != TAG_DATA || recvAckMsg(TAG_ACKN, TAG_REPT))
        {
            done += n;
            repeats = 0;
        }
        else if (++repeats > kMaxChunkRepeats)
        {
            throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(m_sites.sendData));
        }
    }
    if (tag == TAG_DATA)
        sendMsg(0, TAG_ENDF);
}

// ---------------------------------------------------------------- receiving

void CPacketChannel::recvPacket()
{
    // The peer may be waiting for what is gathered before it answers.
    flush();
    if (!m_awaiting)
        m_awaiting.emplace();
    for (;;)
    {
        m_link.checkStop();
        if (m_readPos < m_fill)
        {
            int r = m_decoder.feed(m_recvBuffer.get(), m_fill, m_readPos);
            if (r == CFrameDecoder::FEED_MORE)
                continue;
            if (r == CFrameDecoder::FEED_PACKET && m_decoder.packetLength() >= PACKET_HEAD_SIZE)
                break;
            // A broken frame is no progress: the time keeps running.
            uint32_t length = r == CFrameDecoder::FEED_PACKET ? m_decoder.packetLength() : 0;
            if (m_link.skipBrokenPacket(length))
                continue;
            // The exchange ends here; the next one waits its own time.
            m_awaiting.reset();
            throw CProtoExcep(PROTO_PACKET, EXCEP_SITE(m_sites.recvPacket));
        }
        if (m_awaiting->elapsed() > m_timeout)
        {
            m_awaiting.reset();
            throw CProtoExcep(PROTO_TIMEOUT, EXCEP_SITE(m_sites.recvPacket));
        }
        m_readPos = 0;
        m_fill = 0;
        m_fill = m_link.receiveSome(m_recvBuffer.get(), kReceiveBytes);
    }
    m_awaiting.reset();
    m_link.onPacket(packetTag(), m_decoder.packetLength());
}

uint32_t CPacketChannel::packetTag() const
{
    PacketHead head;
    return PacketHead::decode(m_decoder.packet(), m_decoder.packetLength(), head) == WireCheck::OK ? head.tag
                                                                                                   : 0;
}

bool CPacketChannel::recvAckMsg(uint32_t first, uint32_t second)
{
    recvPacket();
    uint32_t tag = packetTag();
    if (tag == first)
        return true;
    if (tag == second)
        return false;
    throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(m_sites.recvAckMsg));
}

void CPacketChannel::processDataPacket(uint32_t& subtag, uint32_t offset, const uint8_t*& content,
                                       uint32_t& length)
{
    const uint8_t* p = m_decoder.packet();
    uint32_t packetLen = m_decoder.packetLength();
    // Not "Data" or "Get ", or no content after the header.
    DataChunkHeader h;
    if (DataChunkHeader::decode(p, packetLen, h) != WireCheck::OK)
        throw CProtoExcep(PROTO_DATA, EXCEP_SITE(m_sites.processDataPacket));
    const uint32_t tag = h.tag;
    if (h.subtag != SUBTAG_NORM && h.subtag != SUBTAG_SPEC && h.subtag != SUBTAG_SPCP &&
        h.subtag != SUBTAG_NRMP)
        throw CProtoExcep(PROTO_DATA, EXCEP_SITE(m_sites.processDataPacket));
    if (subtag == 0)
        subtag = h.subtag;
    else if (subtag != h.subtag)
        throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(m_sites.processDataPacket));
    if (!h.fills(packetLen) || h.offset != offset)
        throw CProtoExcep(PROTO_DATA, EXCEP_SITE(m_sites.processDataPacket));
    // Computed wide so that no offset can wrap around the limit.
    uint64_t limit = tag == TAG_DATA ? DATA_TRANSFER_LIMIT : GET_REQUEST_LIMIT;
    if (uint64_t(h.offset) + h.length > limit)
        throw CProtoExcep(PROTO_TOO_LARGE, EXCEP_SITE(m_sites.processDataPacket));

    const uint8_t* chunk = p + DataChunkHeader::SIZE;
    if (calcCrc32(chunk, h.length, 0) == h.crc)
    {
        m_reptCount = 0;
        if (tag == TAG_DATA)
            sendMsg(0, TAG_ACKN);
        content = chunk;
        length = h.length;
        return;
    }
    if (tag != TAG_DATA)
        throw CProtoExcep(PROTO_DATA, EXCEP_SITE(m_sites.processDataPacket));
    m_reptCount = m_reptCount != 0 && m_reptOffset == offset ? m_reptCount + 1 : 1;
    m_reptOffset = offset;
    if (m_reptCount > kMaxChunkRepeats)
        throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(m_sites.processDataPacket));
    sendMsg(0, TAG_REPT);
    content = nullptr;
    length = 0;
}

uint32_t CPacketChannel::recvChunks(uint32_t& subtag, const ChunkSink& sink)
{
    m_reptCount = 0;
    uint32_t received = 0;
    for (;;)
    {
        recvPacket();
        if (packetTag() == TAG_ENDF)
            return received;
        const uint8_t* content = nullptr;
        uint32_t length = 0;
        processDataPacket(subtag, received, content, length);
        // A repeated chunk gives nothing and is expected again at the same offset.
        if (content != nullptr)
        {
            sink(content, length, received);
            received += length;
        }
    }
}

bool CPacketChannel::takeText(uint32_t offset, std::string& text) const
{
    return decodeWireText(m_decoder.packet(), m_decoder.packetLength(), offset, text) == WireCheck::OK;
}

void CPacketChannel::restart()
{
    dropGathered();
    m_decoder.reset();
    m_readPos = 0;
    m_fill = 0;
    m_awaiting.reset();
    m_reptOffset = 0;
    m_reptCount = 0;
}

bool CPacketChannel::loadPacket(const void* bytes, uint32_t length)
{
    m_encoder.reset();
    if (!m_encoder.encode(bytes, length) || !m_encoder.finish())
        return false;
    uint32_t pos = 0;
    m_decoder.reset();
    m_awaiting.reset();
    return m_decoder.feed(m_encoder.data(), m_encoder.size(), pos) == CFrameDecoder::FEED_PACKET;
}
