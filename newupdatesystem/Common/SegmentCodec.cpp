#include "newupdatesystem/Common/SegmentCodec.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

CSegmentCodec::CSegmentCodec(int level, SegmentProbe probe) : m_engine(level)
{
    if (probe == SegmentProbe::SAMPLE)
    {
        m_sampler = std::make_unique<CSegmentDeflate>(1);
        m_scratch.resize(PROBE_SAMPLE);
    }
}

CSegmentCodec::~CSegmentCodec() = default;

// Samples spread evenly from the first to the last byte (a single one in the
// middle); one that saves at least 1/32 of its size is reason enough to pack
// the whole segment.
bool CSegmentCodec::samplesShrink(const uint8_t* data, size_t size)
{
    size_t room = PROBE_SAMPLE - PROBE_SAMPLE / 32;
    const size_t samples = std::clamp<size_t>(size / PROBE_FROM, 1, PROBE_SAMPLES);
    for (size_t i = 0; i < samples; ++i)
    {
        size_t at = samples == 1 ? (size - PROBE_SAMPLE) / 2 : (size - PROBE_SAMPLE) / (samples - 1) * i;
        if (m_sampler->compress(data + at, PROBE_SAMPLE, m_scratch.data(), room) != 0)
            return true;
    }
    return false;
}

SegmentMethod CSegmentCodec::pack(const void* data, size_t size, std::vector<uint8_t>& out)
{
    if (size > MAX_SEGMENT_SIZE)
        throw std::length_error("segment larger than the segment limit");
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    bool worthTrying = size > 1 && (m_sampler == nullptr || size < PROBE_FROM || samplesShrink(bytes, size));
    if (worthTrying)
    {
        // Room for one byte less than the input: a stream that does not fit
        // did not shrink, and the segment is stored instead.
        out.resize(size - 1);
        size_t packed = m_engine.compress(data, size, out.data(), out.size());
        if (packed != 0)
        {
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
    if (method == SegmentMethod::STORED)
    {
        if (packedSize != unpackedSize)
            return false;
        out.resize(unpackedSize);
        if (unpackedSize != 0)
            std::memcpy(out.data(), data, unpackedSize);
        return true;
    }
    if (method != SegmentMethod::ZLIB || packedSize >= unpackedSize)
        return false;
    // Deflate packs at most 258 bytes into 2 bits: a size beyond that ratio is
    // a lie, refused before it sizes the output.
    if (unpackedSize / MAX_DEFLATE_RATIO > packedSize)
        return false;
    out.resize(unpackedSize);
    if (!m_engine.decompressExact(data, packedSize, out.data(), unpackedSize))
    {
        out.clear();
        return false;
    }
    return true;
}
