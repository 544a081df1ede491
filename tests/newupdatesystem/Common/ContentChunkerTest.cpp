// The content-defined chunker and the chunk index's strict reader.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "newupdatesystem/Common/ChunkMessages.h"
#include "newupdatesystem/Common/ContentChunker.h"

namespace
{
std::vector<uint8_t> noise(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> out(n);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(random());
    return out;
}

ChunkIndex indexOf(const std::vector<uint8_t>& bytes)
{
    size_t at = 0;
    return CContentChunker().index(
        [&](uint8_t* buffer, size_t n)
        {
            // Short reads, to cross the chunker's refills at odd places.
            n = std::min({n, bytes.size() - at, size_t(777777)});
            std::memcpy(buffer, bytes.data() + at, n);
            at += n;
            return n;
        });
}

std::set<std::vector<uint8_t>> hashes(const ChunkIndex& index)
{
    std::set<std::vector<uint8_t>> out;
    for (const ChunkEntry& c : index.chunks)
        out.insert(std::vector<uint8_t>(c.hash, c.hash + 16));
    return out;
}
} // namespace

TEST(ContentChunker, CutsWithinTheSizesAndReSynchronisesAfterAnInsertion)
{
    const std::vector<uint8_t> before = noise(8u << 20, 1);
    const ChunkIndex a = indexOf(before);
    ASSERT_EQ(a.fileSize, before.size());
    for (size_t i = 0; i + 1 < a.chunks.size(); ++i)
    {
        ASSERT_GE(a.chunks[i].length, CHUNK_PARAMS.minSize);
        ASSERT_LE(a.chunks[i].length, CHUNK_PARAMS.maxSize);
    }
    // Normalized chunking keeps the average near the target.
    const double average = double(before.size()) / double(a.chunks.size());
    EXPECT_GT(average, CHUNK_PARAMS.avgSize * 0.7);
    EXPECT_LT(average, CHUNK_PARAMS.avgSize * 1.5);

    // 64 KiB inserted in the middle, 32 KiB rewritten near the start.
    std::vector<uint8_t> after = before;
    const std::vector<uint8_t> inserted = noise(64u << 10, 2);
    after.insert(after.begin() + (4u << 20), inserted.begin(), inserted.end());
    const std::vector<uint8_t> rewritten = noise(32u << 10, 3);
    std::copy(rewritten.begin(), rewritten.end(), after.begin() + (1u << 20));
    const ChunkIndex b = indexOf(after);

    // The cuts after each edit fall where they fell before, shifted.
    std::set<uint64_t> cutsBefore;
    for (const ChunkEntry& c : a.chunks)
        cutsBefore.insert(c.offset);
    size_t shiftedAgain = 0;
    size_t after_edit = 0;
    for (const ChunkEntry& c : b.chunks)
    {
        if (c.offset < (4u << 20) + (64u << 10) + 4 * CHUNK_PARAMS.maxSize)
            continue;
        ++after_edit;
        shiftedAgain += cutsBefore.count(c.offset - (64u << 10));
    }
    EXPECT_EQ(shiftedAgain, after_edit);

    // Only chunks near the edits are new: at most a few maximum sizes each.
    uint64_t newBytes = 0;
    const auto old = hashes(a);
    for (const ChunkEntry& c : b.chunks)
        if (!old.count(std::vector<uint8_t>(c.hash, c.hash + 16)))
            newBytes += c.length;
    EXPECT_GE(newBytes, (96u << 10));
    EXPECT_LT(newBytes, (96u << 10) + 4 * CHUNK_PARAMS.maxSize);
}

TEST(ContentChunker, RepetitiveDataFindsItsCutsAgainAfterAnInsertion)
{
    // One short line over and over: the hash repeats with it and may never
    // match, yet an insertion must not change every chunk after it.
    const std::string line = "zelvan realm texture sound map player zelvan realm texture sound map\n";
    std::vector<uint8_t> before;
    while (before.size() < (2u << 20))
        before.insert(before.end(), line.begin(), line.end());
    std::vector<uint8_t> after = before;
    const std::vector<uint8_t> inserted = noise(1000, 5);
    after.insert(after.begin() + (1u << 20), inserted.begin(), inserted.end());
    const auto old = hashes(indexOf(before));
    uint64_t newBytes = 0;
    for (const ChunkEntry& c : indexOf(after).chunks)
        if (!old.count(std::vector<uint8_t>(c.hash, c.hash + 16)))
            newBytes += c.length;
    EXPECT_LT(newBytes, 3 * CHUNK_PARAMS.maxSize);
}

TEST(ContentChunker, EqualContentCutsAndHashesAlikeAndBadSizesAreRefused)
{
    const std::vector<uint8_t> bytes = noise(300000, 9);
    EXPECT_EQ(indexOf(bytes).encode(), indexOf(bytes).encode());
    EXPECT_THROW(CContentChunker(ChunkParams{4096, 10000, 65536}), std::invalid_argument);
}

TEST(ChunkIndexReader, RoundTripsAndRefusesGapsOverlapsOverrunsCountsAndParameters)
{
    const ChunkIndex good = indexOf(noise(1u << 20, 4));
    const std::vector<uint8_t> bytes = good.encode();
    ChunkIndex read;
    ASSERT_EQ(ChunkIndex::decode(bytes.data(), bytes.size(), CHUNK_PARAMS, read), ChunkIndexCheck::OK);
    EXPECT_EQ(read.encode(), bytes);
    EXPECT_EQ(ChunkIndex::declaredSize(bytes.data(), bytes.size()), bytes.size());

    auto check = [](const ChunkIndex& index, const ChunkParams& expected = CHUNK_PARAMS)
    {
        const std::vector<uint8_t> b = index.encode();
        ChunkIndex out;
        return ChunkIndex::decode(b.data(), b.size(), expected, out);
    };
    ChunkIndex bad = good;
    bad.chunks[1].offset += 1; // a gap
    EXPECT_EQ(check(bad), ChunkIndexCheck::LAYOUT);
    bad = good;
    bad.chunks[1].offset -= 1; // an overlap
    EXPECT_EQ(check(bad), ChunkIndexCheck::LAYOUT);
    bad = good;
    bad.chunks.back().length += 1; // beyond the file
    EXPECT_EQ(check(bad), ChunkIndexCheck::LAYOUT);
    bad = good;
    bad.fileSize += 1; // short of the file
    EXPECT_EQ(check(bad), ChunkIndexCheck::LAYOUT);
    bad = good;
    bad.chunks[0].length = CHUNK_PARAMS.minSize - 1; // shorter than the parameters allow
    bad.chunks[1].offset = bad.chunks[0].length;
    EXPECT_EQ(check(bad), ChunkIndexCheck::LAYOUT);
    EXPECT_EQ(check(good, ChunkParams{4096, 8192, 65536}), ChunkIndexCheck::PARAMETERS);

    std::vector<uint8_t> b = bytes;
    b.pop_back();
    EXPECT_EQ(ChunkIndex::decode(b.data(), b.size(), CHUNK_PARAMS, read), ChunkIndexCheck::LENGTH);
    b = bytes;
    b[0] ^= 1;
    EXPECT_EQ(ChunkIndex::decode(b.data(), b.size(), CHUNK_PARAMS, read), ChunkIndexCheck::MAGIC);
    // A count beyond the fixed maximum is refused before anything is sized by it.
    ChunkIndex head;
    head.params = CHUNK_PARAMS;
    head.fileSize = 1;
    b = head.encode();
    const uint32_t many = CHUNK_INDEX_MAX_CHUNKS + 1;
    std::memcpy(b.data() + ChunkIndex::COUNT_OFFSET, &many, 4); // little-endian host
    EXPECT_EQ(ChunkIndex::decode(b.data(), b.size(), CHUNK_PARAMS, read), ChunkIndexCheck::TOO_MANY);
    EXPECT_EQ(ChunkIndex::decode(b.data(), 10, CHUNK_PARAMS, read), ChunkIndexCheck::LENGTH);
}
