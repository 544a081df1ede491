#include "newupdatesystem/Common/ContentChunker.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <vector>

#ifdef _WIN32
// Header-only on Windows: the cross build has no library to link.
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>

namespace
{
// The gear table: 256 words of splitmix64 from state 0, the first 256
// outputs in order. Fixed by this rule, so both ends and every version cut
// alike; changing it (or the rule) needs a new index format.
constexpr std::array<uint64_t, 256> makeGear()
{
    std::array<uint64_t, 256> table{};
    uint64_t state = 0;
    for (uint64_t& word : table)
    {
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        word = z ^ (z >> 31);
    }
    return table;
}
constexpr std::array<uint64_t, 256> kGear = makeGear();
static_assert(kGear[0] == 0xE220A8397B1DCDAFull);

// The hash shifts left, so its high bits depend on the most bytes: the masks
// take the top bits.
constexpr uint64_t topBits(unsigned n)
{
    return n == 0 ? 0 : ~uint64_t(0) << (64 - n);
}

constexpr size_t kScanBuffer = size_t(4) << 20;
} // namespace

CContentChunker::CContentChunker(const ChunkParams& params) : m_params(params)
{
    if (params.minSize == 0 || params.minSize >= params.avgSize || params.avgSize >= params.maxSize ||
        !std::has_single_bit(params.avgSize) || params.maxSize > kScanBuffer / 2 || params.avgSize < 64)
        throw std::invalid_argument("chunk sizes");
    const unsigned bits = static_cast<unsigned>(std::countr_zero(params.avgSize));
    m_maskSmall = topBits(bits + 2);
    m_maskLarge = topBits(bits - 2);
}

size_t CContentChunker::cut(const uint8_t* data, size_t n) const
{
    if (n <= m_params.minSize)
        return n;
    const size_t end = std::min<size_t>(n, m_params.maxSize);
    const size_t normal = std::min<size_t>(end, m_params.avgSize);
    uint64_t h = 0;
    size_t i = m_params.minSize;
    for (; i < normal; ++i)
    {
        h = (h << 1) + kGear[data[i]];
        if ((h & m_maskSmall) == 0)
            return i + 1;
    }
    // Without a match up to the maximum (repetitive data, where the hash
    // repeats with the content), the cut follows the first byte of the
    // smallest hash seen after the average: a place the content decides, so
    // that the chunks after an edit find their old starts again.
    uint64_t least = UINT64_MAX;
    size_t leastAt = end;
    for (; i < end; ++i)
    {
        h = (h << 1) + kGear[data[i]];
        if ((h & m_maskLarge) == 0)
            return i + 1;
        if (h < least)
        {
            least = h;
            leastAt = i + 1;
        }
    }
    // The data ends before the maximum: the last chunk ends with it.
    return end < m_params.maxSize ? end : leastAt;
}

uint64_t CContentChunker::scan(const Reader& read, const Sink& sink) const
{
    std::vector<uint8_t> buffer(kScanBuffer);
    size_t start = 0;
    size_t filled = 0;
    uint64_t offset = 0;
    bool atEnd = false;
    for (;;)
    {
        // Keep at least a whole chunk at hand unless the data ends.
        while (!atEnd && filled - start < m_params.maxSize)
        {
            if (start != 0)
            {
                std::memmove(buffer.data(), buffer.data() + start, filled - start);
                filled -= start;
                start = 0;
            }
            const size_t got = read(buffer.data() + filled, buffer.size() - filled);
            if (got == 0)
                atEnd = true;
            filled += got;
        }
        if (filled == start)
            return offset;
        while (filled - start >= m_params.maxSize || (atEnd && filled > start))
        {
            const size_t length = cut(buffer.data() + start, filled - start);
            sink(offset, buffer.data() + start, static_cast<uint32_t>(length));
            offset += length;
            start += length;
        }
    }
}

ChunkIndex CContentChunker::index(const Reader& read) const
{
    ChunkIndex out;
    out.params = m_params;
    out.fileSize = scan(read,
                        [&](uint64_t offset, const uint8_t* data, uint32_t length)
                        {
                            ChunkEntry e;
                            e.offset = offset;
                            e.length = length;
                            hash(data, length, e.hash);
                            out.chunks.push_back(e);
                        });
    return out;
}

void CContentChunker::hash(const uint8_t* data, size_t n, uint8_t out[16])
{
    const XXH128_hash_t h = XXH3_128bits(data, n);
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, h);
    std::memcpy(out, canonical.digest, 16);
}
