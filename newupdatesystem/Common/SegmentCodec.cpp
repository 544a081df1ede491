#include "newupdatesystem/Common/SegmentCodec.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

CSegmentCodec::CSegmentCodec(int level)
    : compressor(libdeflate_alloc_compressor(std::clamp(level, 1, 12))),
      decompressor(libdeflate_alloc_decompressor())
{
    if (compressor == nullptr || decompressor == nullptr) {
        if (compressor)
            libdeflate_free_compressor(compressor);
        if (decompressor)
            libdeflate_free_decompressor(decompressor);
        throw std::bad_alloc();
    }
}

CSegmentCodec::~CSegmentCodec()
{
    libdeflate_free_compressor(compressor);
    libdeflate_free_decompressor(decompressor);
}

SegmentMethod CSegmentCodec::pack(const void* data, size_t size, std::vector<uint8_t>& out)
{
    if (size > MAX_SEGMENT_SIZE)
        throw std::length_error("segment larger than the segment limit");
    // Room for one byte less than the input: a stream that does not fit did
    // not shrink, and the segment is stored instead.
    if (size > 1) {
        out.resize(size - 1);
        size_t packed = libdeflate_zlib_compress(compressor, data, size, out.data(), out.size());
        if (packed != 0) {
            out.resize(packed);
            return SegmentMethod::ZLIB;
        }
    }
    out.resize(size);
    if (size != 0)
        std::memcpy(out.data(), data, size);
    return SegmentMethod::STORED;
}

bool CSegmentCodec::unpack(SegmentMethod method, const void* data, size_t packedSize, size_t unpackedSize,
                           std::vector<uint8_t>& out)
{
    out.clear();
    if (unpackedSize > MAX_SEGMENT_SIZE || packedSize > MAX_SEGMENT_SIZE)
        return false;
    if (method == SegmentMethod::STORED) {
        if (packedSize != unpackedSize)
            return false;
        out.resize(unpackedSize);
        if (unpackedSize != 0)
            std::memcpy(out.data(), data, unpackedSize);
        return true;
    }
    if (method != SegmentMethod::ZLIB || packedSize >= unpackedSize)
        return false;
    out.resize(unpackedSize);
    // Without a place for the produced length libdeflate requires the output
    // to be filled exactly; the consumed length catches trailing bytes.
    size_t consumed = 0;
    libdeflate_result r =
        libdeflate_zlib_decompress_ex(decompressor, data, packedSize, out.data(), unpackedSize, &consumed, nullptr);
    if (r != LIBDEFLATE_SUCCESS || consumed != packedSize) {
        out.clear();
        return false;
    }
    return true;
}
