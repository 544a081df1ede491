#include "newupdatesystem/Common/ChunkMessages.h"

#include "newupdatesystem/Common/WireFields.h"

std::vector<uint8_t> ChunkIndex::encode() const
{
    std::vector<uint8_t> out(HEAD_SIZE + chunks.size() * size_t(ENTRY_SIZE));
    const auto head = encodeFields<HEAD_SIZE>(MAGIC, FORMAT, params.minSize, params.avgSize, params.maxSize,
                                              static_cast<uint32_t>(chunks.size()), fileSize);
    std::copy(head.begin(), head.end(), out.begin());
    uint8_t* p = out.data() + HEAD_SIZE;
    for (const ChunkEntry& c : chunks)
    {
        const auto e = encodeFields<ENTRY_SIZE>(c.offset, c.length, c.hash);
        p = std::copy(e.begin(), e.end(), p);
    }
    return out;
}

ChunkIndexCheck ChunkIndex::decode(const uint8_t* bytes, size_t length, const ChunkParams& expected,
                                   ChunkIndex& out)
{
    if (length < HEAD_SIZE)
        return ChunkIndexCheck::LENGTH;
    uint32_t magic = 0;
    uint32_t format = 0;
    ChunkParams params;
    uint32_t count = 0;
    uint64_t fileSize = 0;
    decodeFields(bytes, magic, format, params.minSize, params.avgSize, params.maxSize, count, fileSize);
    if (magic != MAGIC || format != FORMAT)
        return ChunkIndexCheck::MAGIC;
    if (!(params == expected))
        return ChunkIndexCheck::PARAMETERS;
    if (count > CHUNK_INDEX_MAX_CHUNKS)
        return ChunkIndexCheck::TOO_MANY;
    if (length != HEAD_SIZE + size_t(count) * ENTRY_SIZE)
        return ChunkIndexCheck::LENGTH;
    // An empty file has no chunk, any other at least one.
    if ((count == 0) != (fileSize == 0))
        return ChunkIndexCheck::LAYOUT;
    std::vector<ChunkEntry> chunks(count);
    uint64_t at = 0;
    const uint8_t* p = bytes + HEAD_SIZE;
    for (uint32_t i = 0; i < count; ++i, p += ENTRY_SIZE)
    {
        ChunkEntry& c = chunks[i];
        decodeFields(p, c.offset, c.length, c.hash);
        const bool last = i + 1 == count;
        if (c.offset != at || c.length == 0 || c.length > params.maxSize ||
            (!last && c.length < params.minSize) || c.length > fileSize - at)
            return ChunkIndexCheck::LAYOUT;
        at += c.length;
    }
    if (at != fileSize)
        return ChunkIndexCheck::LAYOUT;
    out.params = params;
    out.fileSize = fileSize;
    out.chunks = std::move(chunks);
    return ChunkIndexCheck::OK;
}

uint64_t ChunkIndex::declaredSize(const uint8_t* bytes, size_t length)
{
    if (length < HEAD_SIZE)
        return 0;
    uint32_t count = 0;
    decodeFields(bytes + COUNT_OFFSET, count);
    return HEAD_SIZE + uint64_t(count) * ENTRY_SIZE;
}

std::array<uint8_t, ChunkIndexKeySource::SIZE> ChunkIndexKeySource::encode() const
{
    return encodeFields<SIZE>(TAG, fileMd5, params.minSize, params.avgSize, params.maxSize);
}
