#include "newupdatesystem/Common/DataFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include "newupdatesystem/Common/Excep.h"
#include "support/Sandbox.h"

namespace
{

int32_t codeOf(const std::function<void()>& f, std::string* function = nullptr)
{
    try
    {
        f();
    }
    catch (const CSystemExcep& e)
    {
        EXPECT_EQ(e.kind, EK_NONE);
        EXPECT_EQ(e.errorNumber, 0);
        EXPECT_EQ(e.subject, "");
        if (function)
            *function = e.function;
        return e.code;
    }
    ADD_FAILURE() << "no CSystemExcep";
    return -1;
}

std::vector<uint8_t> sample(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t((i * 7) ^ (i >> 5)); // compressible, not trivial
    return v;
}

std::vector<uint8_t> packed(const std::vector<uint8_t>& data)
{
    CDataFile f;
    f.packFrom(data.data(), uint32_t(data.size()));
    return std::vector<uint8_t>(f.data(), f.data() + f.size());
}

void putLe32(std::vector<uint8_t>& v, size_t at, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        v[at + i] = uint8_t(x >> (8 * i));
}

} // namespace

TEST(DataFile, EmptyInputPacksToTwentyBytes)
{
    CDataFile f;
    f.packFrom(nullptr, 0);
    const uint8_t expected[] = {'Z', 'P', 'c',  'k',  0,    0,    0,    0,    8,    0,
                                0,   0,   0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
    ASSERT_EQ(f.size(), sizeof expected);
    EXPECT_EQ(memcmp(f.data(), expected, sizeof expected), 0);

    CDataFile u;
    u.unpackFrom(expected, sizeof expected);
    EXPECT_EQ(u.size(), 0u);
}

TEST(DataFile, RoundTripKeepsBytesAndLargerCapacity)
{
    auto data = sample(200000);
    auto p = packed(data);
    EXPECT_EQ(p.size() - 12, uint32_t(p[8] | p[9] << 8 | p[10] << 16 | p[11] << 24));

    CDataFile u;
    u.reserve(300000);
    u.unpackFrom(p.data(), uint32_t(p.size()));
    ASSERT_EQ(u.size(), data.size());
    EXPECT_EQ(u.capacity(), 300000u);
    EXPECT_EQ(memcmp(u.data(), data.data(), data.size()), 0);

    // Packing a buffer into itself must not read freed memory.
    u.packFrom(u);
    CDataFile back;
    back.unpackFrom(u.data(), u.size());
    ASSERT_EQ(back.size(), data.size());
    EXPECT_EQ(memcmp(back.data(), data.data(), data.size()), 0);
}

TEST(DataFile, HeaderChecksComeBeforeZlib)
{
    auto p = packed(sample(1000));
    std::vector<uint8_t> out(1000);

    auto tooLong = p;
    tooLong.push_back(0);
    std::string function;
    EXPECT_EQ(codeOf(
                  [&]
                  {
                      uint32_t cap = 1000;
                      CDataFile::unpack(out.data(), cap, tooLong.data(), uint32_t(tooLong.size()));
                  },
                  &function),
              Z_CORRUPTED);
    EXPECT_EQ(function, "CDataFile::unpack");

    EXPECT_EQ(codeOf(
                  [&]
                  {
                      uint32_t cap = 999;
                      CDataFile::unpack(out.data(), cap, p.data(), uint32_t(p.size()));
                  }),
              Z_OUT_OF_BUFFER);

    auto badMagic = p;
    badMagic[3] = 'K';
    EXPECT_EQ(codeOf([&] { CDataFile().unpackFrom(badMagic.data(), uint32_t(badMagic.size())); }),
              Z_CORRUPTED);
    EXPECT_EQ(codeOf([&] { CDataFile().unpackFrom(p.data(), 11); }), Z_CORRUPTED);

    auto hugePacked = p;
    putLe32(hugePacked, 8, 0x20000001);
    EXPECT_EQ(codeOf(
                  [&]
                  {
                      uint32_t cap = 1000;
                      CDataFile::unpack(out.data(), cap, hugePacked.data(), uint32_t(hugePacked.size()));
                  }),
              Z_CORRUPTED);

    // A promise beyond the limit, or beyond what deflate can expand to, is
    // refused before any buffer is sized by it.
    auto hugeUnpacked = p;
    putLe32(hugeUnpacked, 4, 0x20000001);
    CDataFile f;
    EXPECT_EQ(codeOf([&] { f.unpackFrom(hugeUnpacked.data(), uint32_t(hugeUnpacked.size())); }), Z_CORRUPTED);
    putLe32(hugeUnpacked, 4, 0x20000000);
    EXPECT_EQ(codeOf([&] { f.unpackFrom(hugeUnpacked.data(), uint32_t(hugeUnpacked.size())); }), Z_CORRUPTED);
    EXPECT_EQ(f.capacity(), 0u);
}

TEST(DataFile, CorruptStreamsFail)
{
    auto data = sample(1000);
    auto p = packed(data);

    // The header's packedSize one short of the stream, the call length matching it.
    auto shortStream = p;
    shortStream.pop_back();
    putLe32(shortStream, 8, uint32_t(shortStream.size() - 12));
    EXPECT_EQ(codeOf([&] { CDataFile().unpackFrom(shortStream.data(), uint32_t(shortStream.size())); }),
              Z_CORRUPTED);

    auto flipped = p;
    flipped[flipped.size() / 2] ^= 0x55;
    EXPECT_EQ(codeOf([&] { CDataFile().unpackFrom(flipped.data(), uint32_t(flipped.size())); }), Z_CORRUPTED);

    // A header that promises more than the stream holds.
    auto promise = packed(sample(99));
    putLe32(promise, 4, 100);
    CDataFile f;
    EXPECT_EQ(codeOf([&] { f.unpackFrom(promise.data(), uint32_t(promise.size())); }), Z_CORRUPTED);
    EXPECT_EQ(f.size(), 0u);
    EXPECT_GE(f.capacity(), 100u);
    // ... or less.
    putLe32(promise, 4, 98);
    EXPECT_EQ(codeOf([&] { f.unpackFrom(promise.data(), uint32_t(promise.size())); }), Z_OUT_OF_BUFFER);
}

TEST(DataFile, PackLimits)
{
    auto data = sample(5000);
    std::vector<uint8_t> out(64);
    uint32_t cap = 11;
    std::string function;
    EXPECT_EQ(codeOf([&] { CDataFile::pack(out.data(), cap, data.data(), 10); }, &function), Z_OUT_OF_BUFFER);
    EXPECT_EQ(function, "CDataFile::pack");
    EXPECT_EQ(cap, 0u);
    cap = 64; // far too small for 5000 varied bytes
    EXPECT_EQ(codeOf([&] { CDataFile::pack(out.data(), cap, data.data(), 5000); }), Z_OUT_OF_BUFFER);
    EXPECT_EQ(cap, 0u);
    // Sizes past the limit are refused before any allocation.
    EXPECT_EQ(codeOf([&] { CDataFile().packFrom(data.data(), 0x20000000); }), Z_OUT_OF_BUFFER);
}

// The output buffer is sized once; incompressible input of any size must fit.
TEST(DataFile, IncompressibleInputPacks)
{
    std::vector<uint8_t> noise(300000);
    uint32_t x = 1;
    for (auto& b : noise)
    {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = uint8_t(x);
    }
    for (uint32_t n : {1u, 100u, 4096u, 16383u, 65536u, 300000u})
    {
        CDataFile f;
        f.packFrom(noise.data(), n);
        CDataFile u;
        u.unpackFrom(f.data(), f.size());
        ASSERT_EQ(u.size(), n);
        EXPECT_EQ(memcmp(u.data(), noise.data(), n), 0);
    }
}

TEST(DataFile, WriteAtGrowsByDoubling)
{
    CDataFile f;
    char ten[10] = "012345678";
    f.writeAt(ten, 10, 0);
    EXPECT_EQ(f.capacity(), 10u);
    EXPECT_EQ(f.size(), 10u);
    f.writeAt("x", 1, 10);
    EXPECT_EQ(f.capacity(), 20u);
    EXPECT_EQ(f.size(), 11u);
    f.writeAt("y", 1, 30); // a gap reads as zeros
    EXPECT_EQ(f.size(), 31u);
    EXPECT_EQ(f.data()[20], 0);
    EXPECT_EQ(f.data()[30], 'y');
    EXPECT_THROW(f.writeAt("z", 2, 0xFFFFFFFF), std::bad_alloc);
}

using DataFileOnDisk = SandboxTest;

TEST_F(DataFileOnDisk, SavesLoadsAndUnpacksFiles)
{
    auto data = sample(3000);
    CDataFile p;
    p.packFrom(data.data(), uint32_t(data.size()));
    p.saveToFile("Packed.z");

    CDataFile raw("packed.z", false); // found without regard to case
    EXPECT_EQ(raw.size(), p.size());
    CDataFile unpacked("PACKED.Z", true);
    ASSERT_EQ(unpacked.size(), data.size());
    EXPECT_EQ(memcmp(unpacked.data(), data.data(), data.size()), 0);

    CDataFile empty;
    empty.saveToFile("empty");
    CDataFile loaded("empty", false);
    EXPECT_EQ(loaded.size(), 0u);
    EXPECT_GE(loaded.capacity(), 16u);

    try
    {
        CDataFile missing("missing", false);
        FAIL();
    }
    catch (const CSystemExcep& e)
    {
        EXPECT_EQ(e.code, FILE_OPEN);
    }
}
