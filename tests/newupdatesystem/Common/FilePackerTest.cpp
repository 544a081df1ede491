// Packing from a file in blocks: the same bytes as packing it whole, and a cap
// that stops the packing as soon as it is passed.
#include "newupdatesystem/Common/FilePacker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "newupdatesystem/Common/Md5.h"
#include "support/Sandbox.h"

namespace
{
// Text and noise in turns, so the packing has both kinds of block to cross.
std::string mixed(size_t size, uint32_t seed)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = (i / 300000) % 2 ? char((seed = seed * 1103515245u + 12345u) >> 24) : "zelvan realm\n"[i % 13];
    return s;
}

std::string bytesOf(const CDataFile& f)
{
    return std::string(reinterpret_cast<const char*>(f.data()), f.size());
}

class FilePackerTest : public ::testing::Test
{
protected:
    Sandbox sandbox;
};
} // namespace

TEST_F(FilePackerTest, PacksTheSameBytesAsPackingTheWholeFile)
{
    for (size_t size : {size_t(0), size_t(1), size_t(CFilePacker::BLOCK_SIZE), size_t(3500000)})
    {
        const std::string plain = mixed(size, uint32_t(size));
        std::ofstream("f.bin", std::ios::binary) << plain;
        CDataFile whole;
        whole.packFrom(plain.data(), uint32_t(plain.size()));
        CDataFile streamed;
        CFilePacker::Result r = CFilePacker::pack("f.bin", UINT64_MAX, streamed);
        ASSERT_TRUE(r.fits) << size;
        EXPECT_EQ(bytesOf(streamed), bytesOf(whole)) << size;
        EXPECT_EQ(streamed.capacity(), std::max<uint32_t>(streamed.size(), 1)) << "no slack kept";
        uint8_t md5[16];
        CMd5::digest(plain.data(), plain.size(), md5);
        EXPECT_EQ(std::memcmp(r.md5, md5, 16), 0);
        EXPECT_EQ(std::memcmp(CFilePacker::digest("f.bin").md5, md5, 16), 0);
        EXPECT_EQ(r.unpackedSize, size);
    }
}

TEST_F(FilePackerTest, StopsAtTheCap)
{
    const std::string plain = mixed(2500000, 3);
    std::ofstream("f.bin", std::ios::binary) << plain;
    CDataFile whole;
    whole.packFrom(plain.data(), uint32_t(plain.size()));
    CDataFile out;
    EXPECT_TRUE(CFilePacker::pack("f.bin", whole.size(), out).fits) << "exactly the cap fits";
    EXPECT_EQ(bytesOf(out), bytesOf(whole));
    EXPECT_FALSE(CFilePacker::pack("f.bin", whole.size() - 1, out).fits);
    EXPECT_EQ(out.size(), 0u);
    EXPECT_EQ(out.capacity(), 0u) << "nothing held after a refusal";
    EXPECT_FALSE(CFilePacker::pack("f.bin", 5, out).fits) << "not even a head";
}
