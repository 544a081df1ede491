#include "newupdatesystem/Common/StreamMessages.h"

#include "newupdatesystem/Common/WireBytes.h"

namespace
{
void putHead(uint8_t* out, uint32_t tag)
{
    putPacketHead(out, PACKET_SIGNATURE, tag);
}
} // namespace

std::array<uint8_t, StreamOpenMsg::SIZE> StreamOpenMsg::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putHead(out.data(), TAG_STRM);
    putLe32(out.data() + VERSION_OFFSET, version);
    putLe32(out.data() + WINDOW_OFFSET, window);
    return out;
}

WireCheck StreamOpenMsg::decode(const uint8_t* packet, uint32_t length, StreamOpenMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_STRM, SIZE);
    if (c == WireCheck::OK)
    {
        out.version = getLe32(packet + VERSION_OFFSET);
        out.window = getLe32(packet + WINDOW_OFFSET);
    }
    return c;
}

WirePacket StreamRequestMsg::encode() const
{
    uint8_t head[HEAD_SIZE];
    putHead(head, list ? TAG_SLST : TAG_SGET);
    putLe64(head + OFFSET_OFFSET, offset);
    putLe64(head + LENGTH_OFFSET, length);
    putLe64(head + CREDIT_OFFSET, credit);
    return encodeWireText(head, sizeof head, name);
}

WireCheck StreamRequestMsg::decode(const uint8_t* packet, uint32_t length, StreamRequestMsg& out)
{
    if (length < PACKET_HEAD_SIZE)
        return WireCheck::LENGTH;
    const uint32_t tag = getLe32(packet + HEAD_TAG_OFFSET);
    if (tag != TAG_SGET && tag != TAG_SLST)
        return WireCheck::TAG;
    if (length < MIN_SIZE || length > MAX_SIZE)
        return WireCheck::LENGTH;
    std::string name;
    if (decodeWireText(packet, length, NAME_OFFSET, name) != WireCheck::OK)
        return WireCheck::TEXT;
    out.list = tag == TAG_SLST;
    out.offset = getLe64(packet + OFFSET_OFFSET);
    out.length = getLe64(packet + LENGTH_OFFSET);
    out.credit = getLe64(packet + CREDIT_OFFSET);
    out.name = std::move(name);
    return WireCheck::OK;
}

std::array<uint8_t, StreamInfoMsg::SIZE> StreamInfoMsg::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putHead(out.data(), TAG_SINF);
    putLe64(out.data() + FILE_SIZE_OFFSET, fileSize);
    putLe32(out.data() + SEGMENT_SIZE_OFFSET, segmentSize);
    return out;
}

WireCheck StreamInfoMsg::decode(const uint8_t* packet, uint32_t length, StreamInfoMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_SINF, SIZE);
    if (c == WireCheck::OK)
    {
        out.fileSize = getLe64(packet + FILE_SIZE_OFFSET);
        out.segmentSize = getLe32(packet + SEGMENT_SIZE_OFFSET);
    }
    return c;
}

std::array<uint8_t, StreamChunkHead::SIZE> StreamChunkHead::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putHead(out.data(), TAG_SDAT);
    putLe64(out.data() + SEGMENT_OFFSET, segment);
    putLe32(out.data() + RAW_LENGTH_OFFSET, rawLength);
    putLe32(out.data() + PACKED_LENGTH_OFFSET, packedLength);
    putLe32(out.data() + METHOD_OFFSET, method);
    putLe32(out.data() + CHUNK_OFFSET_OFFSET, chunkOffset);
    putLe32(out.data() + CRC_OFFSET, crc);
    return out;
}

WireCheck StreamChunkHead::decode(const uint8_t* packet, uint32_t length, StreamChunkHead& out)
{
    if (length < PACKET_HEAD_SIZE)
        return WireCheck::LENGTH;
    if (getLe32(packet + HEAD_TAG_OFFSET) != TAG_SDAT)
        return WireCheck::TAG;
    if (length <= SIZE)
        return WireCheck::LENGTH;
    out.segment = getLe64(packet + SEGMENT_OFFSET);
    out.rawLength = getLe32(packet + RAW_LENGTH_OFFSET);
    out.packedLength = getLe32(packet + PACKED_LENGTH_OFFSET);
    out.method = getLe32(packet + METHOD_OFFSET);
    out.chunkOffset = getLe32(packet + CHUNK_OFFSET_OFFSET);
    out.crc = getLe32(packet + CRC_OFFSET);
    return WireCheck::OK;
}

std::array<uint8_t, StreamAckMsg::SIZE> StreamAckMsg::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putHead(out.data(), TAG_SACK);
    putLe64(out.data() + VERIFIED_OFFSET, verified);
    putLe64(out.data() + CREDIT_OFFSET, credit);
    return out;
}

WireCheck StreamAckMsg::decode(const uint8_t* packet, uint32_t length, StreamAckMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_SACK, SIZE);
    if (c == WireCheck::OK)
    {
        out.verified = getLe64(packet + VERIFIED_OFFSET);
        out.credit = getLe64(packet + CREDIT_OFFSET);
    }
    return c;
}

std::array<uint8_t, StreamRepeatMsg::SIZE> StreamRepeatMsg::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putHead(out.data(), TAG_SREP);
    putLe64(out.data() + SEGMENT_OFFSET, segment);
    return out;
}

WireCheck StreamRepeatMsg::decode(const uint8_t* packet, uint32_t length, StreamRepeatMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_SREP, SIZE);
    if (c == WireCheck::OK)
        out.segment = getLe64(packet + SEGMENT_OFFSET);
    return c;
}
