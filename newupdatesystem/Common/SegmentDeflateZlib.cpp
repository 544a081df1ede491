#include "newupdatesystem/Common/SegmentDeflate.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

struct CSegmentDeflate::State
{
    int level = Z_DEFAULT_COMPRESSION;
};

CSegmentDeflate::CSegmentDeflate(int level) : m_state(std::make_unique<State>())
{
    m_state->level = std::clamp(level, 1, 9);
}

CSegmentDeflate::~CSegmentDeflate() = default;

size_t CSegmentDeflate::compress(const void* data, size_t size, void* out, size_t capacity)
{
    constexpr size_t kMax = std::numeric_limits<uInt>::max();
    if (size > kMax || capacity > kMax)
        return 0;
    z_stream z{};
    if (deflateInit(&z, m_state->level) != Z_OK)
        return 0;
    z.next_in = static_cast<Bytef*>(const_cast<void*>(data));
    z.avail_in = static_cast<uInt>(size);
    z.next_out = static_cast<Bytef*>(out);
    z.avail_out = static_cast<uInt>(capacity);
    int r = deflate(&z, Z_FINISH);
    size_t produced = z.total_out;
    deflateEnd(&z);
    return r == Z_STREAM_END ? produced : 0;
}

bool CSegmentDeflate::decompressExact(const void* data, size_t packedSize, void* out, size_t size)
{
    uLong produced = static_cast<uLong>(size);
    uLong consumed = static_cast<uLong>(packedSize);
    if (produced != size || consumed != packedSize)
        return false;
    int r = uncompress2(static_cast<Bytef*>(out), &produced, static_cast<const Bytef*>(data), &consumed);
    return r == Z_OK && produced == size && consumed == packedSize;
}
