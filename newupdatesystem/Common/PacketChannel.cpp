#include "newupdatesystem/Common/PacketChannel.h"

#include <algorithm>
#include <cstring>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/Excep.h"

CPacketChannel::CPacketChannel(IPacketLink& link, const PacketSites& sites, double ioTimeout)
    : link(link), sites(sites), timeout(ioTimeout),
      decoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE),
      encoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE),
      recvBuffer(new uint8_t[FRAME_NOMINAL_SIZE]())
{
}

CPacketChannel::~CPacketChannel() = default;

// ---------------------------------------------------------------- sending

void CPacketChannel::sendPacket(const void* head, uint32_t headLength, const void* data, uint32_t dataLength)
{
    encoder.reset();
    if (!encoder.encode(head, headLength) || (dataLength != 0 && !encoder.encode(data, dataLength)) ||
        !encoder.finish())
        throw CProtoExcep(PROTO_PACKET, EXCEP_SITE(sites.sendPacket));

    // The peer's decoder needs every frame whole: the rest follows until all
    // is sent or the time is up. A stop is honoured only between waits, so a
    // frame the system takes at once always goes out.
    CStopwatch watch;
    const uint8_t* p = encoder.data();
    uint32_t left = encoder.size();
    for (;;) {
        uint32_t n = link.sendSome(p, left);
        p += n;
        left -= n;
        if (left == 0)
            break;
        if (watch.elapsed() > timeout)
            throw CProtoExcep(PROTO_TIMEOUT, EXCEP_SITE(sites.sendPacket));
        link.checkStop();
    }
    link.onSent(encoder.size());
}

void CPacketChannel::sendMsg(uint32_t signature, uint32_t tag)
{
    uint8_t head[PACKET_HEAD_SIZE];
    putLe32(head, signature);
    putLe32(head + 4, tag);
    sendPacket(head, sizeof head);
}

void CPacketChannel::sendText(uint32_t tag, const std::string& text)
{
    uint8_t head[PACKET_HEAD_SIZE];
    putLe32(head, PACKET_SIGNATURE);
    putLe32(head + 4, tag);
    sendPacket(head, sizeof head, text.c_str(), uint32_t(text.size()) + 1);
}

void CPacketChannel::sendData(uint32_t tag, uint32_t subtag, const void* bytes, uint32_t length)
{
    const uint8_t* data = static_cast<const uint8_t*>(bytes);
    uint32_t done = 0;
    unsigned repeats = 0;
    while (done < length) {
        link.checkStop();
        uint32_t n = std::min(length - done, CHUNK_MAX_SIZE);
        uint8_t header[CHUNK_HEADER_SIZE];
        encodeChunkHeader({PACKET_SIGNATURE, tag, subtag, n, done, calcCrc32(data + done, n, 0)}, header);
        sendPacket(header, sizeof header, data + done, n);
        if (tag != TAG_DATA || recvAckMsg(TAG_ACKN, TAG_REPT)) {
            done += n;
            repeats = 0;
        } else if (++repeats > kMaxChunkRepeats) {
            throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(sites.sendData));
        }
    }
    if (tag == TAG_DATA)
        sendMsg(0, TAG_ENDF);
}

// ---------------------------------------------------------------- receiving

void CPacketChannel::recvPacket()
{
    if (!awaiting)
        awaiting.emplace();
    for (;;) {
        link.checkStop();
        if (readPos < fill) {
            int r = decoder.feed(recvBuffer.get(), fill, readPos);
            if (r == CFrameDecoder::FEED_MORE)
                continue;
            if (r == CFrameDecoder::FEED_PACKET && decoder.packetLength() >= PACKET_HEAD_SIZE)
                break;
            // A broken frame is no progress: the time keeps running.
            uint32_t length = r == CFrameDecoder::FEED_PACKET ? decoder.packetLength() : 0;
            if (link.skipBrokenPacket(length))
                continue;
            throw CProtoExcep(PROTO_PACKET, EXCEP_SITE(sites.recvPacket));
        }
        if (awaiting->elapsed() > timeout) {
            awaiting.reset();
            throw CProtoExcep(PROTO_TIMEOUT, EXCEP_SITE(sites.recvPacket));
        }
        readPos = 0;
        fill = 0;
        fill = link.receiveSome(recvBuffer.get(), FRAME_NOMINAL_SIZE);
    }
    awaiting.reset();
    link.onPacket(packetTag(), decoder.packetLength());
}

uint32_t CPacketChannel::packetTag() const
{
    return decoder.packetLength() >= PACKET_HEAD_SIZE ? getLe32(decoder.packet() + 4) : 0;
}

bool CPacketChannel::recvAckMsg(uint32_t first, uint32_t second)
{
    recvPacket();
    uint32_t tag = packetTag();
    if (tag == first)
        return true;
    if (tag == second)
        return false;
    throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(sites.recvAckMsg));
}

void CPacketChannel::processDataPacket(uint32_t& subtag, uint32_t offset, const uint8_t*& content,
                                       uint32_t& length)
{
    const uint8_t* p = decoder.packet();
    uint32_t packetLen = decoder.packetLength();
    uint32_t tag = packetTag();
    if (tag != TAG_DATA && tag != TAG_GET)
        throw CProtoExcep(PROTO_DATA, EXCEP_SITE(sites.processDataPacket));
    if (packetLen <= CHUNK_HEADER_SIZE)
        throw CProtoExcep(PROTO_DATA, EXCEP_SITE(sites.processDataPacket));
    DataChunkHeader h = parseChunkHeader(p);
    if (h.subtag != SUBTAG_NORM && h.subtag != SUBTAG_SPEC && h.subtag != SUBTAG_SPCP && h.subtag != SUBTAG_NRMP)
        throw CProtoExcep(PROTO_DATA, EXCEP_SITE(sites.processDataPacket));
    if (subtag == 0)
        subtag = h.subtag;
    else if (subtag != h.subtag)
        throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(sites.processDataPacket));
    if (h.length == 0 || packetLen != uint64_t(h.length) + CHUNK_HEADER_SIZE || h.offset != offset)
        throw CProtoExcep(PROTO_DATA, EXCEP_SITE(sites.processDataPacket));
    // Computed wide so that no offset can wrap around the limit.
    uint64_t limit = tag == TAG_DATA ? DATA_TRANSFER_LIMIT : GET_REQUEST_LIMIT;
    if (uint64_t(h.offset) + h.length > limit)
        throw CProtoExcep(PROTO_TOO_LARGE, EXCEP_SITE(sites.processDataPacket));

    const uint8_t* chunk = p + CHUNK_HEADER_SIZE;
    if (calcCrc32(chunk, h.length, 0) == h.crc) {
        reptCount = 0;
        if (tag == TAG_DATA)
            sendMsg(0, TAG_ACKN);
        content = chunk;
        length = h.length;
        return;
    }
    if (tag != TAG_DATA)
        throw CProtoExcep(PROTO_DATA, EXCEP_SITE(sites.processDataPacket));
    reptCount = reptCount != 0 && reptOffset == offset ? reptCount + 1 : 1;
    reptOffset = offset;
    if (reptCount > kMaxChunkRepeats)
        throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(sites.processDataPacket));
    sendMsg(0, TAG_REPT);
    content = nullptr;
    length = 0;
}

uint32_t CPacketChannel::recvChunks(uint32_t& subtag, const ChunkSink& sink)
{
    reptCount = 0;
    uint32_t received = 0;
    for (;;) {
        recvPacket();
        if (packetTag() == TAG_ENDF)
            return received;
        const uint8_t* content = nullptr;
        uint32_t length = 0;
        processDataPacket(subtag, received, content, length);
        // A repeated chunk gives nothing and is expected again at the same offset.
        if (content != nullptr) {
            sink(content, length, received);
            received += length;
        }
    }
}

bool CPacketChannel::takeText(uint32_t offset, std::string& text) const
{
    const uint8_t* p = decoder.packet();
    uint32_t length = decoder.packetLength();
    if (offset >= length || p[length - 1] != 0)
        return false;
    const void* nul = std::memchr(p + offset, 0, length - offset);
    if (static_cast<const uint8_t*>(nul) != p + length - 1)
        return false;
    text.assign(reinterpret_cast<const char*>(p + offset), length - offset - 1);
    return true;
}

bool CPacketChannel::loadPacket(const void* bytes, uint32_t length)
{
    encoder.reset();
    if (!encoder.encode(bytes, length) || !encoder.finish())
        return false;
    uint32_t pos = 0;
    decoder.reset();
    awaiting.reset();
    return decoder.feed(encoder.data(), encoder.size(), pos) == CFrameDecoder::FEED_PACKET;
}
