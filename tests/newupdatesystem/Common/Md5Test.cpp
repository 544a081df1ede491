#include "newupdatesystem/Common/Md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

std::string hex(const uint8_t d[16])
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i)
    {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

std::string md5(const std::string& text)
{
    uint8_t d[16];
    CMd5::digest(text.data(), text.size(), d);
    return hex(d);
}

} // namespace

TEST(Md5, Rfc1321Suite)
{
    EXPECT_EQ(md5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Padding edges: 55 bytes fit one final block, 56 and 63 need a second one.
TEST(Md5, PaddingBoundaries)
{
    EXPECT_EQ(md5(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(md5(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(md5(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
    EXPECT_EQ(md5(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(md5(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

// Any split into update calls and any alignment of the input give one digest.
TEST(Md5, PiecewiseAndUnalignedInputAgree)
{
    std::vector<uint8_t> data(300000 + 16);
    uint32_t x = 12345;
    for (auto& b : data)
    {
        x = x * 1103515245 + 12345;
        b = uint8_t(x >> 16);
    }
    uint8_t whole[16];
    CMd5::digest(data.data(), 300000, whole);

    for (size_t offset : {1, 3, 7})
    {
        std::vector<uint8_t> shifted(data.begin(), data.begin() + 300000);
        std::vector<uint8_t> buffer(300000 + offset);
        memcpy(buffer.data() + offset, shifted.data(), shifted.size());
        uint8_t d[16];
        CMd5::digest(buffer.data() + offset, 300000, d);
        EXPECT_EQ(hex(d), hex(whole)) << "offset " << offset;
    }

    for (size_t piece : {1, 13, 63, 64, 65, 4097})
    {
        CMd5 m;
        for (size_t pos = 0; pos < 300000; pos += piece)
        {
            m.update(data.data() + pos, std::min(piece, 300000 - pos));
        }
        uint8_t d[16];
        m.final(d);
        EXPECT_EQ(hex(d), hex(whole)) << "piece " << piece;
    }
}

TEST(Md5, ResetStartsAgain)
{
    CMd5 m;
    m.update("garbage", 7);
    uint8_t d[16];
    m.final(d);
    m.reset();
    m.update("abc", 3);
    m.final(d);
    EXPECT_EQ(hex(d), "900150983cd24fb0d6963f7d28e17f72");
}
