// Wire constants of the update protocol. Every integer on the wire is
// little-endian; a tag is four ASCII letters in reading order, compared as one
// 32-bit word ("Init" is the bytes 49 6E 69 74, the word 0x74696E49).
#pragma once

#include <cstdint>

constexpr uint32_t makeTag(const char (&text)[5])
{
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

inline constexpr uint32_t PACKET_SIGNATURE = 0x04080901; // first word of packets with a body
inline constexpr uint32_t PROTOCOL_VERSION = 0x00010005;

// Framing: byte stuffing, one packet per frame, no length prefix.
inline constexpr uint8_t FRAME_END = 0xC1;
inline constexpr uint8_t FRAME_ESC = 0xC5;
inline constexpr uint8_t FRAME_ESC_END = 0xD5;
inline constexpr uint32_t FRAME_NOMINAL_SIZE = 16384;                  // longest decoded packet
inline constexpr uint32_t FRAME_ENCODED_SIZE = 2 * FRAME_NOMINAL_SIZE; // longest frame, FRAME_END included

inline constexpr uint32_t PACKET_HEAD_SIZE = 8;   // signature, tag
inline constexpr uint32_t CHUNK_HEADER_SIZE = 24; // DataChunkHeader (Messages.h)
inline constexpr uint32_t CHUNK_MAX_SIZE = FRAME_NOMINAL_SIZE - CHUNK_HEADER_SIZE;
inline constexpr uint32_t DATA_TRANSFER_LIMIT = 0x4000000; // end of a received "Data" transfer
inline constexpr uint32_t GET_REQUEST_LIMIT = 1024;        // end of a received "Get " request

// Session and packet kinds.
inline constexpr uint32_t TAG_INIT = makeTag("Init");
inline constexpr uint32_t TAG_ACPT = makeTag("Acpt");
inline constexpr uint32_t TAG_RFSD = makeTag("Rfsd");
inline constexpr uint32_t TAG_PSWK = makeTag("PswK");
inline constexpr uint32_t TAG_AUTH = makeTag("Auth");
inline constexpr uint32_t TAG_FILE = makeTag("File");
inline constexpr uint32_t TAG_CTRL = makeTag("Ctrl");
inline constexpr uint32_t TAG_GETS = makeTag("GetS");
inline constexpr uint32_t TAG_FSUM = makeTag("FSum");
inline constexpr uint32_t TAG_CMND = makeTag("Cmnd");
inline constexpr uint32_t TAG_ECHO = makeTag("Echo");
inline constexpr uint32_t TAG_CMDM = makeTag("CmdM");
inline constexpr uint32_t TAG_MDFY = makeTag("Mdfy");
inline constexpr uint32_t TAG_DELT = makeTag("Delt");
inline constexpr uint32_t TAG_CRDR = makeTag("CrDr");
inline constexpr uint32_t TAG_DLDR = makeTag("DlDr");
inline constexpr uint32_t TAG_UPLD = makeTag("Upld");
inline constexpr uint32_t TAG_GET = makeTag("Get ");
inline constexpr uint32_t TAG_DATA = makeTag("Data");
inline constexpr uint32_t TAG_ENDF = makeTag("EndF");
inline constexpr uint32_t TAG_ACKN = makeTag("Ackn");
inline constexpr uint32_t TAG_REPT = makeTag("Rept");
inline constexpr uint32_t TAG_QUIT = makeTag("Quit");
inline constexpr uint32_t TAG_BUSY = makeTag("Busy");
inline constexpr uint32_t TAG_ACSS = makeTag("Acss");
inline constexpr uint32_t TAG_RJTD = makeTag("Rjtd");

// Chunk subtags: "SpcP" for the update system's own lists, "NrmP" for files.
inline constexpr uint32_t SUBTAG_NRMP = makeTag("NrmP");
inline constexpr uint32_t SUBTAG_SPCP = makeTag("SpcP");
inline constexpr uint32_t SUBTAG_NORM = makeTag("Norm");
inline constexpr uint32_t SUBTAG_SPEC = makeTag("Spec");

static_assert(TAG_INIT == 0x74696E49);
static_assert(CHUNK_MAX_SIZE == 16360);
// A full chunk escaped at worst: 16 plain header bytes, offset and CRC doubled,
// content doubled, and FRAME_END.
static_assert(16 + 2 * 8 + 2 * CHUNK_MAX_SIZE + 1 <= FRAME_ENCODED_SIZE);
