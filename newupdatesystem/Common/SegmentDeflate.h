// The deflate engine behind CSegmentCodec: libdeflate where the build has it,
// zlib otherwise (the cross build). Both write and read zlib streams, so
// segments packed by one unpack with the other.
#pragma once

#include <cstddef>
#include <memory>

class CSegmentDeflate
{
public:
    // level 1 (fastest) and up; each engine clamps it to what it offers.
    // std::bad_alloc when the engine cannot allocate its state.
    explicit CSegmentDeflate(int level);
    ~CSegmentDeflate();
    CSegmentDeflate(const CSegmentDeflate&) = delete;
    CSegmentDeflate& operator=(const CSegmentDeflate&) = delete;

    // A zlib stream of data in out; its length, 0 when it does not fit capacity.
    size_t compress(const void* data, size_t size, void* out, size_t capacity);
    // True when exactly packedSize bytes make one stream of exactly size bytes.
    bool decompressExact(const void* data, size_t packedSize, void* out, size_t size);

private:
    struct State;
    std::unique_ptr<State> m_state;
};
