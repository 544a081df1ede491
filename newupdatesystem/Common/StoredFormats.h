// The heads of what is packed and kept, beside the messages that carry them:
// the packed-file head ("ZPck", CDataFile's format), a packed segment kept for
// the next client, the entry of the server's packed-file store ("ZPcS"), the
// key of a kept segment and the client's resume record ("UPDR"). Integers
// little-endian; decoders check their own lengths and magic, the limits stay
// with the callers.
#pragma once

#include <array>
#include <cstdint>

#include "newupdatesystem/Common/Messages.h"

// "ZPck" magic, unpacked size, packed size, then a zlib stream of packed size bytes.
struct PackedHead
{
    static constexpr uint32_t MAGIC = makeTag("ZPck");
    static constexpr uint32_t MAGIC_OFFSET = 0;
    static constexpr uint32_t UNPACKED_OFFSET = 4;
    static constexpr uint32_t PACKED_OFFSET = 8;
    static constexpr uint32_t SIZE = 12;
    uint32_t unpackedSize = 0;
    uint32_t packedSize = 0; // of the stream that follows

    std::array<uint8_t, SIZE> encode() const;
    // At least a head, with the magic; sizes as found.
    static WireCheck decode(const uint8_t* bytes, uint64_t length, PackedHead& out);
};

// A packed segment as the server keeps it: a packed head over the segment's
// zlib stream, or a head alone with packed size 0 for a segment that packing
// does not shrink.
struct SegmentImage
{
    // The image holds the stream of a segment of rawLength bytes.
    static bool holdsStream(const uint8_t* image, uint32_t imageLength, uint32_t rawLength);
    // The image marks a segment of rawLength bytes that goes stored.
    static bool marksStored(const uint8_t* image, uint32_t imageLength, uint32_t rawLength);
};

// The head of an entry of the server's packed-file store, before the packed file.
struct PackStoreHead
{
    static constexpr uint32_t MAGIC = makeTag("ZPcS");
    static constexpr uint32_t MAGIC_OFFSET = 0;
    static constexpr uint32_t FORMAT_OFFSET = 4;
    static constexpr uint32_t UNPACKED_OFFSET = 8;
    static constexpr uint32_t PACKED_OFFSET = 12;
    static constexpr uint32_t CRC_OFFSET = 16;
    static constexpr uint32_t MD5_OFFSET = 20;
    static constexpr uint32_t MD5_SIZE = 16;
    static constexpr uint32_t SIZE = MD5_OFFSET + MD5_SIZE;
    uint32_t format = 0;
    uint32_t unpackedSize = 0;
    uint32_t packedSize = 0; // of the packed file that follows
    uint32_t crc = 0;        // CRC-32 of the packed file
    uint8_t md5[MD5_SIZE] = {};

    std::array<uint8_t, SIZE> encode() const;
    // Exactly a head, with the magic.
    static WireCheck decode(const uint8_t* bytes, uint32_t length, PackStoreHead& out);
};

// What the key of a kept segment is the MD5 of: "seg1", the file's MD5, the
// segment's offset and length.
struct SegmentKeySource
{
    static constexpr uint32_t TAG = makeTag("seg1");
    static constexpr uint32_t MD5_OFFSET = 4;
    static constexpr uint32_t OFFSET_OFFSET = MD5_OFFSET + 16;
    static constexpr uint32_t LENGTH_OFFSET = OFFSET_OFFSET + 8;
    static constexpr uint32_t SIZE = LENGTH_OFFSET + 4;
    uint8_t fileMd5[16] = {};
    uint64_t offset = 0;
    uint32_t length = 0;

    std::array<uint8_t, SIZE> encode() const;
};

// What a partial download is part of: the list's size, checksum and time of
// the server's file, and how much of it is verified.
struct ResumeState
{
    static constexpr uint32_t MAGIC = makeTag("UPDR");
    static constexpr uint32_t SIZE_OFFSET = 4;
    static constexpr uint32_t CHECKSUM_OFFSET = SIZE_OFFSET + 8;
    static constexpr uint32_t TIME_OFFSET = CHECKSUM_OFFSET + 16;
    static constexpr uint32_t VERIFIED_OFFSET = TIME_OFFSET + 8;
    static constexpr uint32_t SIZE = VERIFIED_OFFSET + 8 + 4; // four bytes spare, zero
    uint64_t size = 0;
    uint32_t checksum[4] = {};
    int64_t time = 0;
    uint64_t verified = 0;

    std::array<uint8_t, SIZE> encode() const;
    // Exactly a record, with the magic.
    static WireCheck decode(const uint8_t* bytes, uint32_t length, ResumeState& out);
};

static_assert(PackedHead::MAGIC == 0x6B63505A && PackedHead::SIZE == 12);
static_assert(PackStoreHead::SIZE == 36);
static_assert(SegmentKeySource::SIZE == 32);
static_assert(ResumeState::MAGIC == 0x52445055 && ResumeState::SIZE == 48);
