#include "newupdatesystem/Common/StreamMessages.h"

#include "newupdatesystem/Common/WireFields.h"

std::array<uint8_t, StreamOpenMsg::SIZE> StreamOpenMsg::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_STRM, version, window);
}

WireCheck StreamOpenMsg::decode(const uint8_t* packet, uint32_t length, StreamOpenMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_STRM, SIZE);
    if (c == WireCheck::OK)
        decodeFields(packet + VERSION_OFFSET, out.version, out.window);
    return c;
}

WirePacket StreamRequestMsg::encode() const
{
    const uint32_t tag = index ? TAG_SIDX : list ? TAG_SLST : TAG_SGET;
    return encodeWireText(encodeFields<HEAD_SIZE>(PACKET_SIGNATURE, tag, offset, length, credit).data(),
                          HEAD_SIZE, name);
}

WireCheck StreamRequestMsg::decode(const uint8_t* packet, uint32_t length, StreamRequestMsg& out)
{
    const bool index = checkPacketTag(packet, length, TAG_SIDX) == WireCheck::OK;
    const bool list = index || checkPacketTag(packet, length, TAG_SLST) == WireCheck::OK;
    WireCheck c = list ? WireCheck::OK : checkPacketTag(packet, length, TAG_SGET);
    if (c != WireCheck::OK)
        return c;
    if (length < MIN_SIZE || length > MAX_SIZE)
        return WireCheck::LENGTH;
    std::string name;
    if (decodeWireText(packet, length, NAME_OFFSET, name) != WireCheck::OK)
        return WireCheck::TEXT;
    out.list = list;
    out.index = index;
    decodeFields(packet + OFFSET_OFFSET, out.offset, out.length, out.credit);
    out.name = std::move(name);
    return WireCheck::OK;
}

std::array<uint8_t, StreamInfoMsg::SIZE> StreamInfoMsg::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_SINF, fileSize, segmentSize);
}

WireCheck StreamInfoMsg::decode(const uint8_t* packet, uint32_t length, StreamInfoMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_SINF, SIZE);
    if (c == WireCheck::OK)
        decodeFields(packet + FILE_SIZE_OFFSET, out.fileSize, out.segmentSize);
    return c;
}

std::array<uint8_t, StreamChunkHead::SIZE> StreamChunkHead::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_SDAT, segment, rawLength, packedLength, method,
                              chunkOffset, crc);
}

WireCheck StreamChunkHead::decode(const uint8_t* packet, uint32_t length, StreamChunkHead& out)
{
    WireCheck c = checkPacketTag(packet, length, TAG_SDAT);
    if (c != WireCheck::OK)
        return c;
    if (length <= SIZE)
        return WireCheck::LENGTH;
    decodeFields(packet + SEGMENT_OFFSET, out.segment, out.rawLength, out.packedLength, out.method,
                 out.chunkOffset, out.crc);
    return WireCheck::OK;
}

std::array<uint8_t, StreamAckMsg::SIZE> StreamAckMsg::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_SACK, verified, credit);
}

WireCheck StreamAckMsg::decode(const uint8_t* packet, uint32_t length, StreamAckMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_SACK, SIZE);
    if (c == WireCheck::OK)
        decodeFields(packet + VERIFIED_OFFSET, out.verified, out.credit);
    return c;
}

std::array<uint8_t, StreamRepeatMsg::SIZE> StreamRepeatMsg::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_SREP, segment);
}

WireCheck StreamRepeatMsg::decode(const uint8_t* packet, uint32_t length, StreamRepeatMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_SREP, SIZE);
    if (c == WireCheck::OK)
        decodeFields(packet + SEGMENT_OFFSET, out.segment);
    return c;
}
