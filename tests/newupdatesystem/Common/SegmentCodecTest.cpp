#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "newupdatesystem/Common/SegmentCodec.h"

namespace
{

std::vector<uint8_t> textBytes(size_t size)
{
    static const char* words[] = {"zelvan ", "realm ", "texture ", "sound ", "map\n", "player "};
    std::mt19937 rng(3);
    std::vector<uint8_t> out;
    while (out.size() < size)
    {
        std::string w = words[rng() % 6];
        out.insert(out.end(), w.begin(), w.end());
    }
    out.resize(size);
    return out;
}

std::vector<uint8_t> randomBytes(size_t size, uint32_t seed = 9)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(size);
    for (auto& b : out)
        b = uint8_t(rng());
    return out;
}

} // namespace

// Compressible data shrinks and comes back; data that does not shrink is
// stored as it is; edge sizes up to the limit work; plain zlib reads what we
// pack, so a peer needs no libdeflate.
TEST(SegmentCodecTest, RoundTripsAndStoresWhatDoesNotShrink)
{
    CSegmentCodec codec;
    std::vector<uint8_t> packed, back;

    std::vector<uint8_t> text = textBytes(1 << 20);
    ASSERT_EQ(codec.pack(text.data(), text.size(), packed), SegmentMethod::ZLIB);
    EXPECT_LT(packed.size(), text.size() / 3);
    ASSERT_TRUE(codec.unpack(SegmentMethod::ZLIB, packed.data(), packed.size(), text.size(), back));
    EXPECT_EQ(back, text);
    std::vector<uint8_t> viaZlib(text.size());
    uLongf length = uLongf(viaZlib.size());
    ASSERT_EQ(uncompress(viaZlib.data(), &length, packed.data(), uLong(packed.size())), Z_OK);
    EXPECT_EQ(viaZlib, text);

    for (size_t size : {size_t(0), size_t(1), size_t(2), size_t(100), size_t(1) << 20})
    {
        std::vector<uint8_t> noise = randomBytes(size);
        ASSERT_EQ(codec.pack(noise.data(), noise.size(), packed), SegmentMethod::STORED) << size;
        EXPECT_EQ(packed, noise);
        ASSERT_TRUE(codec.unpack(SegmentMethod::STORED, packed.data(), packed.size(), size, back));
        EXPECT_EQ(back, noise);
    }

    std::vector<uint8_t> zeros(CSegmentCodec::MAX_SEGMENT_SIZE, 0);
    ASSERT_EQ(codec.pack(zeros.data(), zeros.size(), packed), SegmentMethod::ZLIB);
    ASSERT_TRUE(codec.unpack(SegmentMethod::ZLIB, packed.data(), packed.size(), zeros.size(), back));
    EXPECT_EQ(back, zeros);
    std::vector<uint8_t> some = textBytes(64 << 10);
    for (int level : {1, 12, 0, 99})
    {
        CSegmentCodec other(level);
        ASSERT_EQ(other.pack(some.data(), some.size(), packed), SegmentMethod::ZLIB) << level;
        ASSERT_TRUE(codec.unpack(SegmentMethod::ZLIB, packed.data(), packed.size(), some.size(), back));
        EXPECT_EQ(back, some);
    }
    zeros.push_back(0);
    EXPECT_THROW(codec.pack(zeros.data(), zeros.size(), packed), std::length_error);
}

// What arrives is hostile: every lie about sizes, every cut, a flipped bit
// and bytes after the stream are refused, and nothing is handed out.
TEST(SegmentCodecTest, RefusesDamagedSegmentsAndLyingSizes)
{
    CSegmentCodec codec;
    std::vector<uint8_t> text = textBytes(50000), packed, back;
    ASSERT_EQ(codec.pack(text.data(), text.size(), packed), SegmentMethod::ZLIB);
    auto refused = [&](SegmentMethod m, const std::vector<uint8_t>& bytes, size_t declared)
    {
        back.assign(3, 7);
        bool ok = codec.unpack(m, bytes.data(), bytes.size(), declared, back);
        return !ok && back.empty();
    };

    EXPECT_TRUE(refused(SegmentMethod::ZLIB, packed, text.size() + 1));
    EXPECT_TRUE(refused(SegmentMethod::ZLIB, packed, text.size() - 1));
    EXPECT_TRUE(refused(SegmentMethod::ZLIB, packed, CSegmentCodec::MAX_SEGMENT_SIZE + 1));
    EXPECT_TRUE(refused(SegmentMethod::ZLIB, packed, SIZE_MAX));
    EXPECT_TRUE(refused(SegmentMethod::ZLIB, packed, packed.size())); // not shorter than its result
    EXPECT_TRUE(refused(SegmentMethod(2), packed, text.size()));
    EXPECT_TRUE(refused(SegmentMethod::STORED, packed, text.size()));
    EXPECT_TRUE(refused(SegmentMethod::STORED, text, CSegmentCodec::MAX_SEGMENT_SIZE + 1));

    std::vector<uint8_t> longer = packed;
    longer.push_back(0);
    EXPECT_TRUE(refused(SegmentMethod::ZLIB, longer, text.size()));
    for (size_t cut = 0; cut < packed.size(); cut += (cut < 64 ? 1 : 97))
    {
        std::vector<uint8_t> shorter(packed.begin(), packed.begin() + cut);
        ASSERT_TRUE(refused(SegmentMethod::ZLIB, shorter, text.size())) << "cut at " << cut;
    }
    // The Adler-32 catches damage that still inflates.
    for (size_t at : {size_t(2), packed.size() / 2, packed.size() - 1})
    {
        std::vector<uint8_t> flipped = packed;
        flipped[at] ^= 0x10;
        EXPECT_TRUE(refused(SegmentMethod::ZLIB, flipped, text.size())) << "flip at " << at;
    }
    // A tiny stream that claims to unpack to the maximum (a zip bomb shape)
    // inflates to less and is refused.
    std::vector<uint8_t> small = textBytes(1000);
    ASSERT_EQ(codec.pack(small.data(), small.size(), packed), SegmentMethod::ZLIB);
    EXPECT_TRUE(refused(SegmentMethod::ZLIB, packed, CSegmentCodec::MAX_SEGMENT_SIZE));
    // Beyond deflate's best ratio nothing is even tried; zeros, which pack
    // best, stay within it.
    EXPECT_TRUE(
        refused(SegmentMethod::ZLIB, std::vector<uint8_t>(8, 0), 8 * CSegmentCodec::MAX_DEFLATE_RATIO + 8));
    std::vector<uint8_t> zeros(CSegmentCodec::MAX_SEGMENT_SIZE, 0);
    ASSERT_EQ(codec.pack(zeros.data(), zeros.size(), packed), SegmentMethod::ZLIB);
    EXPECT_LE(zeros.size() / packed.size(), CSegmentCodec::MAX_DEFLATE_RATIO);
}

// The probe stores random segments without packing them whole, but never
// stores what deflate would shrink near a sample: redundancy within 32 KiB
// (a short random block repeated), or a compressible stretch longer than the
// spacing of the samples, wherever it lies.
TEST(SegmentCodecTest, ProbeStoresRandomButKeepsWhatShrinks)
{
    CSegmentCodec probing, plain(CSegmentCodec::DEFAULT_LEVEL, SegmentProbe::NONE);
    std::vector<uint8_t> packed, back;
    const size_t size = 1 << 20;

    std::vector<uint8_t> noise = randomBytes(size);
    EXPECT_EQ(probing.pack(noise.data(), size, packed), SegmentMethod::STORED);
    EXPECT_EQ(plain.pack(noise.data(), size, packed), SegmentMethod::STORED);

    std::vector<uint8_t> block = randomBytes(30 << 10, 5), repeated;
    while (repeated.size() < size)
        repeated.insert(repeated.end(), block.begin(), block.end());
    repeated.resize(size);
    ASSERT_EQ(probing.pack(repeated.data(), size, packed), SegmentMethod::ZLIB);
    EXPECT_LT(packed.size(), size / 10);

    const size_t spacing = (size - CSegmentCodec::PROBE_SAMPLE) / (CSegmentCodec::PROBE_SAMPLES - 1);
    const size_t stretch = spacing + CSegmentCodec::PROBE_SAMPLE;
    std::vector<uint8_t> text = textBytes(stretch);
    for (size_t at : {size_t(0), size_t(1000), size / 2 - stretch / 2, size - stretch})
    {
        std::vector<uint8_t> mixed = noise;
        std::copy(text.begin(), text.end(), mixed.begin() + at);
        ASSERT_EQ(probing.pack(mixed.data(), size, packed), SegmentMethod::ZLIB) << "text at " << at;
        ASSERT_TRUE(probing.unpack(SegmentMethod::ZLIB, packed.data(), packed.size(), size, back));
        EXPECT_EQ(back, mixed);
    }

    // A smaller segment has fewer samples; one of noise is still stored, one
    // with text between its samples still packed, and one below the probe
    // size packed outright.
    for (size_t small : {CSegmentCodec::PROBE_FROM, CSegmentCodec::PROBE_FROM * 3})
    {
        std::vector<uint8_t> piece(noise.begin(), noise.begin() + small);
        EXPECT_EQ(probing.pack(piece.data(), small, packed), SegmentMethod::STORED) << small;
        std::vector<uint8_t> words = textBytes(small / 2);
        std::copy(words.begin(), words.end(), piece.begin() + small / 4);
        EXPECT_EQ(probing.pack(piece.data(), small, packed), SegmentMethod::ZLIB) << small;
    }
    std::vector<uint8_t> below = textBytes(CSegmentCodec::PROBE_FROM - 1);
    EXPECT_EQ(probing.pack(below.data(), below.size(), packed), SegmentMethod::ZLIB);
}
