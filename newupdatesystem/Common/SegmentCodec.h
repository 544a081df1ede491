// CSegmentCodec: packs and unpacks segments, the independently compressed
// pieces in which large files move. A packed segment is a zlib stream
// (RFC 1950, so any zlib can read it and its Adler-32 checks the result) or,
// when packing would not make it smaller, the bytes themselves. Sizes travel
// beside the segment, never inside it, and are checked against fixed limits
// before anything is allocated.
// One codec per thread: it owns libdeflate's working memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct libdeflate_compressor;
struct libdeflate_decompressor;

enum class SegmentMethod : uint8_t
{
    STORED = 0, // the bytes as they are
    ZLIB = 1,   // a zlib stream, always shorter than what it unpacks to
};

class CSegmentCodec
{
public:
    static constexpr size_t MAX_SEGMENT_SIZE = size_t(8) << 20;
    static constexpr int DEFAULT_LEVEL = 6;

    // level 1 (fastest) to 12 (smallest); others are clamped. std::bad_alloc
    // when libdeflate cannot allocate its state.
    explicit CSegmentCodec(int level = DEFAULT_LEVEL);
    ~CSegmentCodec();
    CSegmentCodec(const CSegmentCodec&) = delete;
    CSegmentCodec& operator=(const CSegmentCodec&) = delete;

    // Replaces out by the packed form of size bytes and says which it is.
    // std::length_error beyond MAX_SEGMENT_SIZE.
    SegmentMethod pack(const void* data, size_t size, std::vector<uint8_t>& out);

    // Replaces out by exactly unpackedSize bytes. False, out empty, for an
    // unknown method, a size beyond MAX_SEGMENT_SIZE, a stored segment whose
    // sizes differ, a zlib segment not shorter than its result, a damaged
    // stream, bytes after its end, or a result of another length.
    bool unpack(SegmentMethod method, const void* data, size_t packedSize, size_t unpackedSize,
                std::vector<uint8_t>& out);

private:
    libdeflate_compressor* compressor;
    libdeflate_decompressor* decompressor;
};
