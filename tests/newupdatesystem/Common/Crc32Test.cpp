#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "newupdatesystem/Common/Crc32.h"

namespace
{

// Bit-at-a-time CRC-32 (reflected 0xEDB88320, preset and final inversion): the
// definition the fast paths must agree with.
uint32_t referenceCrc(const uint8_t* p, size_t n, uint32_t previous)
{
    uint32_t c = ~previous;
    for (size_t i = 0; i < n; ++i)
    {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

} // namespace

TEST(Crc32Test, KnownValues)
{
    EXPECT_EQ(calcCrc32("123456789", 9, 0), 0xCBF43926u);
    EXPECT_EQ(calcCrc32("", 0, 0), 0u);
    EXPECT_EQ(calcCrc32("", 0, 0x12345678), 0x12345678u);
    std::vector<uint8_t> zeros(32, 0);
    EXPECT_EQ(calcCrc32(zeros.data(), zeros.size(), 0), 0x190A55ADu);
}

// Every length around the block sizes of the table and carry-less paths, at
// every alignment, and continued from a previous value.
TEST(Crc32Test, MatchesReferenceOnAllLengthsAndAlignments)
{
    std::mt19937 rng(7);
    std::vector<uint8_t> data(8192);
    for (auto& b : data)
        b = uint8_t(rng());
    for (size_t len = 0; len <= 300; ++len)
        for (size_t align = 0; align < 16; align += 5)
            ASSERT_EQ(calcCrc32(data.data() + align, len, 0), referenceCrc(data.data() + align, len, 0))
                << "length " << len << " alignment " << align;
    for (size_t len : {1000u, 4095u, 4096u})
    {
        uint32_t first = calcCrc32(data.data(), 77, 0);
        EXPECT_EQ(calcCrc32(data.data() + 77, len, first), referenceCrc(data.data(), 77 + len, 0));
    }
}

TEST(Crc32Test, FramingBytesAndAllOnes)
{
    std::vector<uint8_t> ff(1000, 0xFF), c1(129, 0xC1);
    EXPECT_EQ(calcCrc32(ff.data(), ff.size(), 0), referenceCrc(ff.data(), ff.size(), 0));
    EXPECT_EQ(calcCrc32(c1.data(), c1.size(), 0), referenceCrc(c1.data(), c1.size(), 0));
}
