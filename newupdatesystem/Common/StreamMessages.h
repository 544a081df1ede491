// The packets of the streaming transfer (StreamProto.h), each a struct with
// one encoder and one decoder, as Messages.h does for the base protocol.
// Offsets and sizes of files are 64-bit.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "newupdatesystem/Common/Messages.h"
#include "newupdatesystem/Common/StreamProto.h"

// "Strm" both ways: the extension's version and a window in bytes (wanted by
// the client, granted by the server).
struct StreamOpenMsg
{
    static constexpr uint32_t SIZE = STRM_SIZE;
    static constexpr uint32_t VERSION_OFFSET = WORD2_OFFSET;
    static constexpr uint32_t WINDOW_OFFSET = WORD3_OFFSET;
    uint32_t version = STREAM_VERSION;
    uint32_t window = 0;

    std::array<uint8_t, SIZE> encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, StreamOpenMsg& out);
};

// "SGet" (a range of a listed file), "SLst" (one of the server's lists,
// whole: offset 0, length the most the client takes) or "SIdx" (a listed
// file's chunk index, as "SLst"), with the credit end and the NUL-terminated name.
struct StreamRequestMsg
{
    static constexpr uint32_t OFFSET_OFFSET = BODY_OFFSET;
    static constexpr uint32_t LENGTH_OFFSET = OFFSET_OFFSET + 8;
    static constexpr uint32_t CREDIT_OFFSET = LENGTH_OFFSET + 8;
    static constexpr uint32_t NAME_OFFSET = CREDIT_OFFSET + 8;
    static constexpr uint32_t HEAD_SIZE = SGET_HEAD_SIZE;
    static constexpr uint32_t MIN_SIZE = HEAD_SIZE + 2; // a name of one byte
    static constexpr uint32_t MAX_SIZE = HEAD_SIZE + GET_REQUEST_LIMIT + 1;
    bool list = false; // "SLst"
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t credit = 0; // file offset before which segments may start
    std::string name;
    bool index = false; // "SIdx": a file's chunk index, answered whole like a list (list is set too)

    WirePacket encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, StreamRequestMsg& out);
};

// "SInf": the file's size and the segment size of the answer.
struct StreamInfoMsg
{
    static constexpr uint32_t SIZE = SINF_SIZE;
    static constexpr uint32_t FILE_SIZE_OFFSET = BODY_OFFSET;
    static constexpr uint32_t SEGMENT_SIZE_OFFSET = FILE_SIZE_OFFSET + 8;
    uint64_t fileSize = 0;
    uint32_t segmentSize = 0;

    std::array<uint8_t, SIZE> encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, StreamInfoMsg& out);
};

// The head of an "SDat" packet, followed by one chunk of a packed segment.
struct StreamChunkHead
{
    static constexpr uint32_t SIZE = SDAT_HEAD_SIZE;
    static constexpr uint32_t SEGMENT_OFFSET = BODY_OFFSET;
    static constexpr uint32_t RAW_LENGTH_OFFSET = SEGMENT_OFFSET + 8;
    static constexpr uint32_t PACKED_LENGTH_OFFSET = RAW_LENGTH_OFFSET + 4;
    static constexpr uint32_t METHOD_OFFSET = PACKED_LENGTH_OFFSET + 4;
    static constexpr uint32_t CHUNK_OFFSET_OFFSET = METHOD_OFFSET + 4;
    static constexpr uint32_t CRC_OFFSET = CHUNK_OFFSET_OFFSET + 4;
    uint64_t segment = 0;   // file offset of the segment's first byte
    uint32_t rawLength = 0; // of the unpacked segment
    uint32_t packedLength = 0;
    uint32_t method = 0; // SegmentMethod
    uint32_t chunkOffset = 0;
    uint32_t crc = 0; // calcCrc32 of the chunk, from 0

    std::array<uint8_t, SIZE> encode() const;
    // An "SDat" packet with at least one chunk byte after the head.
    static WireCheck decode(const uint8_t* packet, uint32_t length, StreamChunkHead& out);
};

// "SAck": every byte before verified is received; segments may start before credit.
struct StreamAckMsg
{
    static constexpr uint32_t SIZE = SACK_SIZE;
    static constexpr uint32_t VERIFIED_OFFSET = BODY_OFFSET;
    static constexpr uint32_t CREDIT_OFFSET = VERIFIED_OFFSET + 8;
    uint64_t verified = 0;
    uint64_t credit = 0;

    std::array<uint8_t, SIZE> encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, StreamAckMsg& out);
};

// "SRep": send again from the segment at this offset.
struct StreamRepeatMsg
{
    static constexpr uint32_t SIZE = SREP_SIZE;
    static constexpr uint32_t SEGMENT_OFFSET = BODY_OFFSET;
    uint64_t segment = 0;

    std::array<uint8_t, SIZE> encode() const;
    static WireCheck decode(const uint8_t* packet, uint32_t length, StreamRepeatMsg& out);
};

static_assert(StreamOpenMsg::SIZE == 16);
static_assert(StreamRequestMsg::NAME_OFFSET == StreamRequestMsg::HEAD_SIZE &&
              StreamRequestMsg::HEAD_SIZE == 32);
static_assert(StreamInfoMsg::SEGMENT_SIZE_OFFSET + 4 == StreamInfoMsg::SIZE && StreamInfoMsg::SIZE == 20);
static_assert(StreamChunkHead::CRC_OFFSET + 4 == StreamChunkHead::SIZE && StreamChunkHead::SIZE == 36);
static_assert(StreamAckMsg::CREDIT_OFFSET + 8 == StreamAckMsg::SIZE && StreamAckMsg::SIZE == 24);
static_assert(StreamRepeatMsg::SEGMENT_OFFSET + 8 == StreamRepeatMsg::SIZE && StreamRepeatMsg::SIZE == 16);
