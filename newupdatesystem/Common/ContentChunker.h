// CContentChunker: cuts bytes into content-defined chunks with a gear rolling
// hash and normalized chunking (the FastCDC way): a cut depends only on the
// last 64 bytes before it, so an insertion or a deletion moves the cuts near
// it and the ones after it fall where they fell before. Below the average
// size a cut needs two more zero bits of the hash, above it two fewer, which
// keeps most chunks near the average; none is shorter than the minimum (but
// the last) or longer than the maximum. The first minimum bytes of a chunk
// are not hashed at all. Where nothing matches up to the maximum (repetitive
// data), the cut follows the smallest hash after the average, so that it
// still depends on the content. Chunks are named by XXH3-128.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "newupdatesystem/Common/ChunkMessages.h"

class CContentChunker
{
public:
    // Sizes as in ChunkParams: minimum below maximum, average a power of two
    // between them; std::invalid_argument otherwise.
    explicit CContentChunker(const ChunkParams& params = CHUNK_PARAMS);

    const ChunkParams& params() const { return m_params; }

    // The length of the chunk that starts at data, of the n bytes at hand;
    // the caller passes at least the maximum size unless the data ends there.
    size_t cut(const uint8_t* data, size_t n) const;

    // Reads up to n bytes into buffer, 0 at the end; throws on failure.
    using Reader = std::function<size_t(uint8_t* buffer, size_t n)>;
    // Each chunk in order, with its offset.
    using Sink = std::function<void(uint64_t offset, const uint8_t* data, uint32_t length)>;
    // Cuts everything read; the bytes read in all. Memory: one 4 MiB buffer.
    uint64_t scan(const Reader& read, const Sink& sink) const;
    // The index of everything read: every chunk's place and hash.
    ChunkIndex index(const Reader& read) const;

    static void hash(const uint8_t* data, size_t n, uint8_t out[16]);

private:
    ChunkParams m_params;
    uint64_t m_maskSmall; // before the average: harder to match
    uint64_t m_maskLarge; // after it: easier
};
