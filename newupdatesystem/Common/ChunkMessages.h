// The chunk index of a file: where a content-defined chunker (ContentChunker.h)
// cut it and the XXH3-128 hash of each chunk. The server sends it for "SIdx"
// and keeps it in its cache folder; the client finds in it the chunks it
// already holds. All integers little-endian:
//   offset 0  magic      "CIdx"
//   offset 4  format     1
//   offset 8  minimum, average and maximum chunk size, u32 each
//   offset 20 chunk count u32
//   offset 24 file size u64
//   offset 32 per chunk: offset u64, length u32, hash 16 bytes (canonical XXH128)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "newupdatesystem/Common/Messages.h"
#include "newupdatesystem/Common/ProtoTags.h"

struct ChunkParams
{
    uint32_t minSize = 0;
    uint32_t avgSize = 0; // a power of two
    uint32_t maxSize = 0;
    bool operator==(const ChunkParams&) const = default;
};

// What both ends cut with. 16 KiB on average: an edit costs about two chunks
// around it, and the index of a 64 MiB file stays near 112 KiB.
inline constexpr ChunkParams CHUNK_PARAMS{4096, 16384, 65536};
// An index names at most this many chunks (28 MiB of index); larger files
// get none and move whole.
inline constexpr uint32_t CHUNK_INDEX_MAX_CHUNKS = 1u << 20;
// Smaller files get no index: their one segment costs less than the round
// trips of patching.
inline constexpr uint64_t CHUNK_INDEX_MIN_FILE = uint64_t(1) << 20;

struct ChunkEntry
{
    uint64_t offset = 0;
    uint32_t length = 0;
    uint8_t hash[16] = {};
};

// Why an index is refused.
enum class ChunkIndexCheck
{
    OK = 0,
    LENGTH = 1,     // shorter or longer than its chunk count says
    MAGIC = 2,      // not an index, or another format
    PARAMETERS = 3, // cut with other sizes than expected
    TOO_MANY = 4,   // more chunks than CHUNK_INDEX_MAX_CHUNKS
    LAYOUT = 5,     // a gap, an overlap, a chunk beyond the file or of a size the parameters forbid
};

struct ChunkIndex
{
    static constexpr uint32_t MAGIC = makeTag("CIdx");
    static constexpr uint32_t FORMAT = 1;
    static constexpr uint32_t PARAMS_OFFSET = 8;
    static constexpr uint32_t COUNT_OFFSET = 20;
    static constexpr uint32_t FILE_SIZE_OFFSET = 24;
    static constexpr uint32_t HEAD_SIZE = 32;
    static constexpr uint32_t ENTRY_SIZE = 28;
    static constexpr uint64_t MAX_SIZE = HEAD_SIZE + uint64_t(ENTRY_SIZE) * CHUNK_INDEX_MAX_CHUNKS;

    ChunkParams params;
    uint64_t fileSize = 0;
    std::vector<ChunkEntry> chunks;

    std::vector<uint8_t> encode() const;
    // Strict: the chunks must follow each other from 0 to the file's end,
    // each within the parameters' sizes (only the last may be shorter than the
    // minimum), and the parameters must be the expected ones.
    static ChunkIndexCheck decode(const uint8_t* bytes, size_t length, const ChunkParams& expected,
                                  ChunkIndex& out);
    // The length an index's head declares for the whole index, 0 for
    // anything shorter than a head.
    static uint64_t declaredSize(const uint8_t* bytes, size_t length);
};

// What the server's cache folder keys a file's index by: derived from the
// file's list MD5 and the parameters, so that other parameters find nothing.
struct ChunkIndexKeySource
{
    static constexpr uint32_t TAG = makeTag("cix1");
    static constexpr uint32_t SIZE = 4 + 16 + 12;
    uint8_t fileMd5[16] = {};
    ChunkParams params;

    std::array<uint8_t, SIZE> encode() const;
};

static_assert(ChunkIndex::FILE_SIZE_OFFSET + 8 == ChunkIndex::HEAD_SIZE);
static_assert(ChunkIndex::ENTRY_SIZE == 8 + 4 + 16);
static_assert(ChunkIndex::MAX_SIZE < (uint64_t(1) << 31));
