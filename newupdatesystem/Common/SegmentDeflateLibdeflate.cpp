#include "newupdatesystem/Common/SegmentDeflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <new>

struct CSegmentDeflate::State
{
    libdeflate_compressor* compressor = nullptr;
    libdeflate_decompressor* decompressor = nullptr;

    ~State()
    {
        if (compressor)
            libdeflate_free_compressor(compressor);
        if (decompressor)
            libdeflate_free_decompressor(decompressor);
    }
};

CSegmentDeflate::CSegmentDeflate(int level) : m_state(std::make_unique<State>())
{
    m_state->compressor = libdeflate_alloc_compressor(std::clamp(level, 1, 12));
    m_state->decompressor = libdeflate_alloc_decompressor();
    if (m_state->compressor == nullptr || m_state->decompressor == nullptr)
        throw std::bad_alloc();
}

CSegmentDeflate::~CSegmentDeflate() = default;

size_t CSegmentDeflate::compress(const void* data, size_t size, void* out, size_t capacity)
{
    return libdeflate_zlib_compress(m_state->compressor, data, size, out, capacity);
}

bool CSegmentDeflate::decompressExact(const void* data, size_t packedSize, void* out, size_t size)
{
    // Without a place for the produced length libdeflate requires the output
    // to be filled exactly; the consumed length catches trailing bytes.
    size_t consumed = 0;
    libdeflate_result r =
        libdeflate_zlib_decompress_ex(m_state->decompressor, data, packedSize, out, size, &consumed, nullptr);
    return r == LIBDEFLATE_SUCCESS && consumed == packedSize;
}
