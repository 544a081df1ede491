// The messages of the base protocol, each a struct with one encoder and one
// decoder that both ends and the tests use: this is the one place that spells
// their bytes (docs/protocol.md describes the same tables). Every packet
// starts with an 8-byte head, {signature, tag}; integers are little-endian.
//
// A decoder takes a whole packet and checks its own tag and lengths; it fills
// its struct only when it answers WireCheck::OK. What a refusal means for the
// session (which error, which log line) stays with the caller.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "newupdatesystem/Common/ProtoTags.h"

using WirePacket = std::vector<uint8_t>;

enum class WireCheck
{
    OK,
    LENGTH, // too short or too long for the message
    TAG,    // another message
    TEXT,   // no final NUL, or a NUL inside the text
};

// Offsets shared by every packet.
inline constexpr uint32_t HEAD_SIGNATURE_OFFSET = 0;
inline constexpr uint32_t HEAD_TAG_OFFSET = 4;
inline constexpr uint32_t BODY_OFFSET = PACKET_HEAD_SIZE;
// The two words after the head of a fixed 16-byte message.
inline constexpr uint32_t WORD2_OFFSET = BODY_OFFSET;
inline constexpr uint32_t WORD3_OFFSET = BODY_OFFSET + 4;

// The head of every packet; alone it is a bare message ("Ackn", "Rept",
// "EndF", "Quit", "CmdM", "Busy", "Acss", "Rjtd"), sent with signature 0.
struct PacketHead
{
    static constexpr uint32_t SIZE = PACKET_HEAD_SIZE;
    uint32_t signature = 0;
    uint32_t tag = 0;

    std::array<uint8_t, SIZE> encode() const;
    // Any packet of at least a head.
    static WireCheck decode(const uint8_t* packet, uint32_t length, PacketHead& out);
};

// "Init" from the client: the session kind ("File", "Ctrl") and its version.
struct InitRequest
{
    static constexpr uint32_t SIZE = 16;
    static constexpr uint32_t KIND_OFFSET = WORD2_OFFSET;
    static constexpr uint32_t VERSION_OFFSET = WORD3_OFFSET;
    uint32_t kind = 0;
    uint32_t version = PROTOCOL_VERSION;

    std::array<uint8_t, SIZE> encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, InitRequest& out);
};

// "Init" from the server: its version word (with the offers of extensions)
// and the verdict, "Acpt" or "Rfsd".
struct InitAnswer
{
    static constexpr uint32_t SIZE = 16;
    static constexpr uint32_t VERSION_OFFSET = WORD2_OFFSET;
    static constexpr uint32_t VERDICT_OFFSET = WORD3_OFFSET;
    uint32_t version = PROTOCOL_VERSION;
    uint32_t verdict = TAG_ACPT;

    std::array<uint8_t, SIZE> encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, InitAnswer& out);
};

// "PswK": the login challenge of the session.
struct ChallengeMsg
{
    static constexpr uint32_t CHALLENGE_SIZE = 8;
    static constexpr uint32_t CHALLENGE_OFFSET = BODY_OFFSET;
    static constexpr uint32_t SIZE = CHALLENGE_OFFSET + CHALLENGE_SIZE;
    uint8_t challenge[CHALLENGE_SIZE] = {};

    std::array<uint8_t, SIZE> encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, ChallengeMsg& out);
};

// "Auth": the login name in a NUL-terminated field, the rest zero, and the
// MD5 over the challenge and the password.
struct AuthMsg
{
    static constexpr uint32_t NAME_SIZE = 16; // 15 bytes at most and the NUL
    static constexpr uint32_t DIGEST_SIZE = 16;
    static constexpr uint32_t NAME_OFFSET = BODY_OFFSET;
    static constexpr uint32_t DIGEST_OFFSET = NAME_OFFSET + NAME_SIZE;
    static constexpr uint32_t SIZE = DIGEST_OFFSET + DIGEST_SIZE;
    uint8_t name[NAME_SIZE] = {}; // as it travels: not necessarily terminated
    uint8_t digest[DIGEST_SIZE] = {};

    // The name field of a login; a longer name is cut to fit with its NUL.
    void setName(const std::string& login);
    std::array<uint8_t, SIZE> encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, AuthMsg& out);
};

// The head of every "Data" and "Get " packet, followed by length bytes of content.
struct DataChunkHeader
{
    static constexpr uint32_t SIZE = CHUNK_HEADER_SIZE;
    static constexpr uint32_t SUBTAG_OFFSET = BODY_OFFSET;
    static constexpr uint32_t LENGTH_OFFSET = SUBTAG_OFFSET + 4;
    static constexpr uint32_t OFFSET_OFFSET = LENGTH_OFFSET + 4;
    static constexpr uint32_t CRC_OFFSET = OFFSET_OFFSET + 4;
    uint32_t signature = PACKET_SIGNATURE;
    uint32_t tag = TAG_DATA;
    uint32_t subtag = 0;
    uint32_t length = 0; // 1 to CHUNK_MAX_SIZE when we send
    uint32_t offset = 0; // of the chunk's first byte in the whole transfer
    uint32_t crc = 0;    // calcCrc32 of the content, from 0

    std::array<uint8_t, SIZE> encode() const;
    // A "Data" or "Get " packet with at least one content byte after the header.
    static WireCheck decode(const uint8_t* packet, uint32_t length, DataChunkHeader& out);
    // Whether a packet of packetLength carries exactly this chunk's content.
    bool fills(uint32_t packetLength) const { return length != 0 && packetLength == uint64_t(length) + SIZE; }
};

// The text of a packet from offset to its last byte, the only NUL.
WireCheck decodeWireText(const uint8_t* packet, uint32_t length, uint32_t offset, std::string& text);

// "GetS", "Cmnd", "Echo": the head, then one NUL-terminated text.
template <uint32_t Tag> struct TextMsg
{
    static constexpr uint32_t TAG = Tag;
    static constexpr uint32_t TEXT_OFFSET = BODY_OFFSET;
    static constexpr uint32_t MIN_SIZE = TEXT_OFFSET + 1;
    std::string text;

    WirePacket encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, TextMsg& out);
};
using ChecksumRequest = TextMsg<TAG_GETS>; // the name of a list
using CommandMsg = TextMsg<TAG_CMND>;
using EchoMsg = TextMsg<TAG_ECHO>; // one line of output; empty ends it

// "FSum": the MD5 of an unpacked list.
struct ChecksumAnswer
{
    static constexpr uint32_t DIGEST_SIZE = 16;
    static constexpr uint32_t DIGEST_OFFSET = BODY_OFFSET;
    static constexpr uint32_t SIZE = DIGEST_OFFSET + DIGEST_SIZE;
    uint8_t digest[DIGEST_SIZE] = {};

    std::array<uint8_t, SIZE> encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, ChecksumAnswer& out);
};

// "Mdfy": an operation ("Delt", "CrDr", "DlDr", "Upld"), a value (the file
// time of an upload) and a NUL-terminated path of at least one byte.
struct ModifyMsg
{
    static constexpr uint32_t OPERATION_OFFSET = WORD2_OFFSET;
    static constexpr uint32_t VALUE_OFFSET = WORD3_OFFSET;
    static constexpr uint32_t PATH_OFFSET = VALUE_OFFSET + 4;
    static constexpr uint32_t MIN_SIZE = PATH_OFFSET + 2;
    uint32_t operation = 0;
    uint32_t value = 0;
    std::string path;

    WirePacket encode() const;
    // LENGTH below MIN_SIZE, TEXT for a path that is not one NUL-terminated text.
    static WireCheck decode(const uint8_t* packet, uint32_t length, ModifyMsg& out);
};

static_assert(PacketHead::SIZE == 8);
static_assert(InitRequest::SIZE == 16 && InitAnswer::SIZE == 16);
static_assert(ChallengeMsg::SIZE == 16);
static_assert(AuthMsg::SIZE == 40 && AuthMsg::DIGEST_OFFSET == 24);
static_assert(DataChunkHeader::SIZE == 24 && DataChunkHeader::CRC_OFFSET + 4 == DataChunkHeader::SIZE);
static_assert(ChecksumAnswer::SIZE == 24);
static_assert(ModifyMsg::PATH_OFFSET == 16 && ModifyMsg::MIN_SIZE == 18);

// For the codecs of this module and StreamMessages: the head written at out;
// a head with the tag (LENGTH without a head, TAG for another); the checks of
// a message of one fixed size (a head, then the tag, then the size).
void putPacketHead(uint8_t* out, uint32_t signature, uint32_t tag);
WireCheck checkPacketTag(const uint8_t* packet, uint32_t length, uint32_t tag);
WireCheck checkFixedMessage(const uint8_t* packet, uint32_t length, uint32_t tag, uint32_t size);
// Encodes head and text the way every text message travels.
WirePacket encodeWireText(const uint8_t* head, uint32_t headLength, const std::string& text);

template <uint32_t Tag> WirePacket TextMsg<Tag>::encode() const
{
    return encodeWireText(PacketHead{PACKET_SIGNATURE, Tag}.encode().data(), TEXT_OFFSET, text);
}

template <uint32_t Tag> WireCheck TextMsg<Tag>::decode(const uint8_t* packet, uint32_t length, TextMsg& out)
{
    WireCheck c = checkPacketTag(packet, length, Tag);
    return c == WireCheck::OK ? decodeWireText(packet, length, TEXT_OFFSET, out.text) : c;
}
