// CSegmentCodec: packs and unpacks segments, the independently compressed
// pieces in which large files move. A packed segment is a zlib stream
// (RFC 1950, so any zlib can read it and its Adler-32 checks the result) or,
// when packing would not make it smaller, the bytes themselves. Sizes travel
// beside the segment, never inside it, and are checked against fixed limits
// before anything is allocated.
// One codec per thread: it owns the deflate engine's working memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "newupdatesystem/Common/SegmentDeflate.h"

enum class SegmentMethod : uint8_t
{
    STORED = 0, // the bytes as they are
    ZLIB = 1,   // a zlib stream, always shorter than what it unpacks to
};

// Whether pack first tries a few samples at the fastest level and stores a
// segment none of whose samples shrinks, instead of packing it whole in vain.
// Deflate finds nothing further back than 32 KiB, so a 64 KiB sample sees all
// the redundancy near it; a compressible stretch that lies between the
// samples of an otherwise random segment can be missed.
enum class SegmentProbe : uint8_t
{
    NONE = 0,
    SAMPLE = 1,
};

class CSegmentCodec
{
public:
    static constexpr size_t MAX_SEGMENT_SIZE = size_t(8) << 20;
    static constexpr int DEFAULT_LEVEL = 6;
    // Smaller segments are packed outright; larger ones get a sample per
    // PROBE_FROM bytes, at most PROBE_SAMPLES.
    static constexpr size_t PROBE_FROM = size_t(128) << 10;
    static constexpr size_t PROBE_SAMPLE = size_t(64) << 10;
    static constexpr int PROBE_SAMPLES = 4;
    static constexpr size_t MAX_DEFLATE_RATIO = 1032;

    // level 1 (fastest) to 12 (smallest); others are clamped. std::bad_alloc
    // when the engine cannot allocate its state.
    explicit CSegmentCodec(int level = DEFAULT_LEVEL, SegmentProbe probe = SegmentProbe::SAMPLE);
    ~CSegmentCodec();
    CSegmentCodec(const CSegmentCodec&) = delete;
    CSegmentCodec& operator=(const CSegmentCodec&) = delete;

    // Replaces out by the packed form of size bytes and says which it is.
    // std::length_error beyond MAX_SEGMENT_SIZE.
    SegmentMethod pack(const void* data, size_t size, std::vector<uint8_t>& out);

    // Replaces out by exactly unpackedSize bytes. False, out empty, for an
    // unknown method, a size beyond MAX_SEGMENT_SIZE or beyond
    // MAX_DEFLATE_RATIO times the packed size, a stored segment whose sizes
    // differ, a zlib segment not shorter than its result, a damaged stream,
    // bytes after its end, or a result of another length.
    bool unpack(SegmentMethod method, const void* data, size_t packedSize, size_t unpackedSize,
                std::vector<uint8_t>& out);

private:
    bool samplesShrink(const uint8_t* data, size_t size);
    CSegmentDeflate m_engine;
    std::unique_ptr<CSegmentDeflate> m_sampler; // level 1, only with SegmentProbe::SAMPLE
    std::vector<uint8_t> m_scratch;
};
