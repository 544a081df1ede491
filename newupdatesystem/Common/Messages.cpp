#include "newupdatesystem/Common/Messages.h"

#include <algorithm>
#include <cstring>

#include "newupdatesystem/Common/WireFields.h"

void putPacketHead(uint8_t* out, uint32_t signature, uint32_t tag)
{
    const auto head = encodeFields<PACKET_HEAD_SIZE>(signature, tag);
    std::memcpy(out, head.data(), head.size());
}

WireCheck checkPacketTag(const uint8_t* packet, uint32_t length, uint32_t tag)
{
    // The head must be there for the tag to be read.
    if (length < PACKET_HEAD_SIZE)
        return WireCheck::LENGTH;
    return getLe32(packet + HEAD_TAG_OFFSET) == tag ? WireCheck::OK : WireCheck::TAG;
}

WireCheck checkFixedMessage(const uint8_t* packet, uint32_t length, uint32_t tag, uint32_t size)
{
    WireCheck c = checkPacketTag(packet, length, tag);
    if (c != WireCheck::OK)
        return c;
    return length == size ? WireCheck::OK : WireCheck::LENGTH;
}

std::array<uint8_t, PacketHead::SIZE> PacketHead::encode() const
{
    return encodeFields<SIZE>(signature, tag);
}

WireCheck PacketHead::decode(const uint8_t* packet, uint32_t length, PacketHead& out)
{
    if (length < SIZE)
        return WireCheck::LENGTH;
    decodeFields(packet, out.signature, out.tag);
    return WireCheck::OK;
}

std::array<uint8_t, InitRequest::SIZE> InitRequest::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_INIT, kind, version);
}

WireCheck InitRequest::decode(const uint8_t* packet, uint32_t length, InitRequest& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_INIT, SIZE);
    if (c == WireCheck::OK)
        decodeFields(packet + KIND_OFFSET, out.kind, out.version);
    return c;
}

std::array<uint8_t, InitAnswer::SIZE> InitAnswer::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_INIT, version, verdict);
}

WireCheck InitAnswer::decode(const uint8_t* packet, uint32_t length, InitAnswer& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_INIT, SIZE);
    if (c == WireCheck::OK)
        decodeFields(packet + VERSION_OFFSET, out.version, out.verdict);
    return c;
}

std::array<uint8_t, ChallengeMsg::SIZE> ChallengeMsg::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_PSWK, challenge);
}

WireCheck ChallengeMsg::decode(const uint8_t* packet, uint32_t length, ChallengeMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_PSWK, SIZE);
    if (c == WireCheck::OK)
        decodeFields(packet + CHALLENGE_OFFSET, out.challenge);
    return c;
}

void AuthMsg::setName(const std::string& login)
{
    std::memset(name, 0, NAME_SIZE);
    std::memcpy(name, login.data(), std::min<size_t>(login.size(), NAME_SIZE - 1));
}

std::array<uint8_t, AuthMsg::SIZE> AuthMsg::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_AUTH, name, digest);
}

WireCheck AuthMsg::decode(const uint8_t* packet, uint32_t length, AuthMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_AUTH, SIZE);
    if (c == WireCheck::OK)
        decodeFields(packet + NAME_OFFSET, out.name, out.digest);
    return c;
}

std::array<uint8_t, DataChunkHeader::SIZE> DataChunkHeader::encode() const
{
    return encodeFields<SIZE>(signature, tag, subtag, length, offset, crc);
}

WireCheck DataChunkHeader::decode(const uint8_t* packet, uint32_t length, DataChunkHeader& out)
{
    // The tag first: a packet of another kind is that, whatever its length.
    if (checkPacketTag(packet, length, TAG_DATA) != WireCheck::OK &&
        checkPacketTag(packet, length, TAG_GET) != WireCheck::OK)
        return length < PACKET_HEAD_SIZE ? WireCheck::LENGTH : WireCheck::TAG;
    if (length <= SIZE)
        return WireCheck::LENGTH;
    decodeFields(packet, out.signature, out.tag, out.subtag, out.length, out.offset, out.crc);
    return WireCheck::OK;
}

WireCheck decodeWireText(const uint8_t* packet, uint32_t length, uint32_t offset, std::string& text)
{
    if (offset >= length || packet[length - 1] != 0)
        return WireCheck::TEXT;
    const void* nul = std::memchr(packet + offset, 0, length - offset);
    if (static_cast<const uint8_t*>(nul) != packet + length - 1)
        return WireCheck::TEXT;
    text.assign(reinterpret_cast<const char*>(packet + offset), length - offset - 1);
    return WireCheck::OK;
}

WirePacket encodeWireText(const uint8_t* head, uint32_t headLength, const std::string& text)
{
    WirePacket out(head, head + headLength);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    return out;
}

std::array<uint8_t, ChecksumAnswer::SIZE> ChecksumAnswer::encode() const
{
    return encodeFields<SIZE>(PACKET_SIGNATURE, TAG_FSUM, digest);
}

WireCheck ChecksumAnswer::decode(const uint8_t* packet, uint32_t length, ChecksumAnswer& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_FSUM, SIZE);
    if (c == WireCheck::OK)
        decodeFields(packet + DIGEST_OFFSET, out.digest);
    return c;
}

WirePacket ModifyMsg::encode() const
{
    return encodeWireText(encodeFields<PATH_OFFSET>(PACKET_SIGNATURE, TAG_MDFY, operation, value).data(),
                          PATH_OFFSET, path);
}

WireCheck ModifyMsg::decode(const uint8_t* packet, uint32_t length, ModifyMsg& out)
{
    WireCheck c = checkPacketTag(packet, length, TAG_MDFY);
    if (c != WireCheck::OK)
        return c;
    if (length < MIN_SIZE)
        return WireCheck::LENGTH;
    std::string path;
    if (decodeWireText(packet, length, PATH_OFFSET, path) != WireCheck::OK)
        return WireCheck::TEXT;
    decodeFields(packet + OPERATION_OFFSET, out.operation, out.value);
    out.path = std::move(path);
    return WireCheck::OK;
}
