#include "newupdatesystem/Common/Messages.h"

#include <algorithm>
#include <cstring>

#include "newupdatesystem/Common/WireBytes.h"

void putPacketHead(uint8_t* out, uint32_t signature, uint32_t tag)
{
    putLe32(out + HEAD_SIGNATURE_OFFSET, signature);
    putLe32(out + HEAD_TAG_OFFSET, tag);
}

WireCheck checkFixedMessage(const uint8_t* packet, uint32_t length, uint32_t tag, uint32_t size)
{
    // Length first: the tag must be there to be read.
    if (length < PACKET_HEAD_SIZE)
        return WireCheck::LENGTH;
    if (getLe32(packet + HEAD_TAG_OFFSET) != tag)
        return WireCheck::TAG;
    return length == size ? WireCheck::OK : WireCheck::LENGTH;
}

std::array<uint8_t, PacketHead::SIZE> PacketHead::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putPacketHead(out.data(), signature, tag);
    return out;
}

WireCheck PacketHead::decode(const uint8_t* packet, uint32_t length, PacketHead& out)
{
    if (length < SIZE)
        return WireCheck::LENGTH;
    out.signature = getLe32(packet + HEAD_SIGNATURE_OFFSET);
    out.tag = getLe32(packet + HEAD_TAG_OFFSET);
    return WireCheck::OK;
}

std::array<uint8_t, InitRequest::SIZE> InitRequest::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putPacketHead(out.data(), PACKET_SIGNATURE, TAG_INIT);
    putLe32(out.data() + KIND_OFFSET, kind);
    putLe32(out.data() + VERSION_OFFSET, version);
    return out;
}

WireCheck InitRequest::decode(const uint8_t* packet, uint32_t length, InitRequest& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_INIT, SIZE);
    if (c == WireCheck::OK)
    {
        out.kind = getLe32(packet + KIND_OFFSET);
        out.version = getLe32(packet + VERSION_OFFSET);
    }
    return c;
}

std::array<uint8_t, InitAnswer::SIZE> InitAnswer::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putPacketHead(out.data(), PACKET_SIGNATURE, TAG_INIT);
    putLe32(out.data() + VERSION_OFFSET, version);
    putLe32(out.data() + VERDICT_OFFSET, verdict);
    return out;
}

WireCheck InitAnswer::decode(const uint8_t* packet, uint32_t length, InitAnswer& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_INIT, SIZE);
    if (c == WireCheck::OK)
    {
        out.version = getLe32(packet + VERSION_OFFSET);
        out.verdict = getLe32(packet + VERDICT_OFFSET);
    }
    return c;
}

std::array<uint8_t, ChallengeMsg::SIZE> ChallengeMsg::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putPacketHead(out.data(), PACKET_SIGNATURE, TAG_PSWK);
    std::memcpy(out.data() + CHALLENGE_OFFSET, challenge, CHALLENGE_SIZE);
    return out;
}

WireCheck ChallengeMsg::decode(const uint8_t* packet, uint32_t length, ChallengeMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_PSWK, SIZE);
    if (c == WireCheck::OK)
        std::memcpy(out.challenge, packet + CHALLENGE_OFFSET, CHALLENGE_SIZE);
    return c;
}

void AuthMsg::setName(const std::string& login)
{
    std::memset(name, 0, NAME_SIZE);
    std::memcpy(name, login.data(), std::min<size_t>(login.size(), NAME_SIZE - 1));
}

std::array<uint8_t, AuthMsg::SIZE> AuthMsg::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putPacketHead(out.data(), PACKET_SIGNATURE, TAG_AUTH);
    std::memcpy(out.data() + NAME_OFFSET, name, NAME_SIZE);
    std::memcpy(out.data() + DIGEST_OFFSET, digest, DIGEST_SIZE);
    return out;
}

WireCheck AuthMsg::decode(const uint8_t* packet, uint32_t length, AuthMsg& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_AUTH, SIZE);
    if (c == WireCheck::OK)
    {
        std::memcpy(out.name, packet + NAME_OFFSET, NAME_SIZE);
        std::memcpy(out.digest, packet + DIGEST_OFFSET, DIGEST_SIZE);
    }
    return c;
}

std::array<uint8_t, DataChunkHeader::SIZE> DataChunkHeader::encode() const
{
    std::array<uint8_t, SIZE> out{};
    putPacketHead(out.data(), signature, tag);
    putLe32(out.data() + SUBTAG_OFFSET, subtag);
    putLe32(out.data() + LENGTH_OFFSET, length);
    putLe32(out.data() + OFFSET_OFFSET, offset);
    putLe32(out.data() + CRC_OFFSET, crc);
    return out;
}

WireCheck DataChunkHeader::decode(const uint8_t* packet, uint32_t length, DataChunkHeader& out)
{
    if (length < PACKET_HEAD_SIZE)
        return WireCheck::LENGTH;
    const uint32_t tag = getLe32(packet + HEAD_TAG_OFFSET);
    if (tag != TAG_DATA && tag != TAG_GET)
        return WireCheck::TAG;
    if (length <= SIZE)
        return WireCheck::LENGTH;
    out.signature = getLe32(packet + HEAD_SIGNATURE_OFFSET);
    out.tag = tag;
    out.subtag = getLe32(packet + SUBTAG_OFFSET);
    out.length = getLe32(packet + LENGTH_OFFSET);
    out.offset = getLe32(packet + OFFSET_OFFSET);
    out.crc = getLe32(packet + CRC_OFFSET);
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
    std::array<uint8_t, SIZE> out{};
    putPacketHead(out.data(), PACKET_SIGNATURE, TAG_FSUM);
    std::memcpy(out.data() + DIGEST_OFFSET, digest, DIGEST_SIZE);
    return out;
}

WireCheck ChecksumAnswer::decode(const uint8_t* packet, uint32_t length, ChecksumAnswer& out)
{
    WireCheck c = checkFixedMessage(packet, length, TAG_FSUM, SIZE);
    if (c == WireCheck::OK)
        std::memcpy(out.digest, packet + DIGEST_OFFSET, DIGEST_SIZE);
    return c;
}

WirePacket ModifyMsg::encode() const
{
    uint8_t head[PATH_OFFSET];
    putPacketHead(head, PACKET_SIGNATURE, TAG_MDFY);
    putLe32(head + OPERATION_OFFSET, operation);
    putLe32(head + VALUE_OFFSET, value);
    return encodeWireText(head, sizeof head, path);
}

WireCheck ModifyMsg::decode(const uint8_t* packet, uint32_t length, ModifyMsg& out)
{
    if (length < PACKET_HEAD_SIZE)
        return WireCheck::LENGTH;
    if (getLe32(packet + HEAD_TAG_OFFSET) != TAG_MDFY)
        return WireCheck::TAG;
    if (length < MIN_SIZE)
        return WireCheck::LENGTH;
    std::string path;
    if (decodeWireText(packet, length, PATH_OFFSET, path) != WireCheck::OK)
        return WireCheck::TEXT;
    out.operation = getLe32(packet + OPERATION_OFFSET);
    out.value = getLe32(packet + VALUE_OFFSET);
    out.path = std::move(path);
    return WireCheck::OK;
}
