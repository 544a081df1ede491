#include "launcher/DirectXCheck.h"

#include "platform/Environment.h"
#include "support/PlatformSkip.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <vector>

namespace
{

class FakeDxProvider : public IDxProvider
{
public:
    DxDiagInfo dxdiag;
    std::optional<std::string> systemDir = std::string("C:/sys");
    std::map<std::string, std::pair<uint32_t, uint32_t>> files;

    DxDiagInfo readDxDiag() override { return dxdiag; }
    std::optional<std::string> getSystemDirectory() override { return systemDir; }
    bool getFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls) override
    {
        auto it = files.find(path.substr(path.rfind('/') + 1));
        if (it == files.end())
            return false;
        ms = it->second.first;
        ls = it->second.second;
        return true;
    }
};

DxDiagInfo dxdiag(uint32_t major, uint32_t minor, std::string letter)
{
    DxDiagInfo info;
    info.available = true;
    info.major = major;
    info.minor = minor;
    info.letter = letter;
    return info;
}

} // namespace

TEST(DirectXCheck, DxDiagAnswersFirstAndLetterIsLowerCased)
{
    FakeDxProvider p;
    p.dxdiag = dxdiag(9, 0, "C");
    p.files["d3d9.dll"] = {0x00050003, 1};
    uint32_t packed = 1;
    char text[16];
    ASSERT_TRUE(getDirectXVersion(p, &packed, text, sizeof text));
    EXPECT_EQ(packed, DX_VERSION_9_0C);
    EXPECT_STREQ(text, "9.0c");
}

TEST(DirectXCheck, EmptyLetterFallsBackToFileTable)
{
    FakeDxProvider p;
    p.dxdiag = dxdiag(9, 0, "");
    p.files["d3d9.dll"] = {0x00050003, 1};
    uint32_t packed = 0;
    char text[16];
    ASSERT_TRUE(getDirectXVersion(p, &packed, text, sizeof text));
    EXPECT_EQ(packed, 0x00090000u);
    EXPECT_STREQ(text, "9.0");
    EXPECT_LT(packed, DX_VERSION_9_0C); // the launcher warns
}

TEST(DirectXCheck, FileTableFindsLatestMatchingRow)
{
    FakeDxProvider p;
    p.files["ddraw.dll"] = {0x00040007, 700};
    p.files["dinput.dll"] = {0x00040007, 716};
    uint32_t packed = 0;
    char text[16];
    ASSERT_TRUE(getDirectXVersion(p, &packed, text, sizeof text));
    EXPECT_EQ(packed, 7u * 65536 + 1);
    EXPECT_STREQ(text, "7.0a");

    // Below the bound of a row: the earlier row stands.
    p.files["dinput.dll"] = {0x00040007, 715};
    ASSERT_TRUE(getDirectXVersion(p, &packed, nullptr, 0));
    EXPECT_EQ(packed, 7u * 65536);

    // Rows that test major 4 and 5 separately.
    p.files["d3d8.dll"] = {0x00050001, 0x0A280385};
    ASSERT_TRUE(getDirectXVersion(p, &packed, nullptr, 0));
    EXPECT_EQ(packed, 8u * 65536 + 256 + 1);
    p.files["d3d8.dll"] = {0x00060000, 0xFFFFFFFF};
    ASSERT_TRUE(getDirectXVersion(p, &packed, nullptr, 0));
    EXPECT_EQ(packed, 7u * 65536);
}

TEST(DirectXCheck, NothingFoundAndShortBuffer)
{
    FakeDxProvider p;
    uint32_t packed = 5;
    char text[16];
    ASSERT_TRUE(getDirectXVersion(p, &packed, text, sizeof text));
    EXPECT_EQ(packed, 0u);
    EXPECT_STREQ(text, "0.0");

    p.systemDir.reset();
    p.dxdiag = dxdiag(10, 12, " ");
    char small[4];
    ASSERT_TRUE(getDirectXVersion(p, &packed, small, sizeof small));
    EXPECT_STREQ(small, "10.");

    p.dxdiag = dxdiag(9, 0, "c");
    ASSERT_TRUE(getDirectXVersion(p, &packed, small, sizeof small));
    EXPECT_STREQ(small, "9.0");
}

namespace
{

// A minimal PE32 image: headers, one section holding a resource tree of
// type 16 (version) and the VS_VERSIONINFO block.
std::vector<unsigned char> makePe(uint32_t ms, uint32_t ls, bool withVersion = true)
{
    std::vector<unsigned char> f(0x400, 0);
    auto put16 = [&](size_t at, uint32_t v)
    {
        f[at] = v & 0xFF;
        f[at + 1] = (v >> 8) & 0xFF;
    };
    auto put32 = [&](size_t at, uint32_t v)
    {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    f[0] = 'M';
    f[1] = 'Z';
    put32(0x3C, 0x80);
    put32(0x80, 0x00004550);
    put16(0x84, 0x14C);
    put16(0x86, 1);    // one section
    put16(0x94, 0xE0); // optional header size
    const size_t opt = 0x98;
    put16(opt, 0x10B);
    put32(opt + 92, 16);          // data directories
    put32(opt + 96 + 16, 0x1000); // resources at RVA 0x1000
    put32(opt + 96 + 20, 0x200);
    const size_t sec = opt + 0xE0;
    std::memcpy(&f[sec], ".rsrc", 5);
    put32(sec + 8, 0x200);
    put32(sec + 12, 0x1000);
    put32(sec + 16, 0x200);
    put32(sec + 20, 0x200);
    const size_t r = 0x200; // resource section in the file
    // Root: one id entry, type 16 (or 3 when there is no version) -> dir at 0x18.
    put16(r + 14, 1);
    put32(r + 16, withVersion ? 16 : 3);
    put32(r + 20, 0x80000018);
    // Names: one entry id 1 -> dir at 0x30.
    put16(r + 0x18 + 14, 1);
    put32(r + 0x18 + 16, 1);
    put32(r + 0x18 + 20, 0x80000030);
    // Languages: one entry 1033 -> data entry at 0x48.
    put16(r + 0x30 + 14, 1);
    put32(r + 0x30 + 16, 1033);
    put32(r + 0x30 + 20, 0x48);
    // Data entry: RVA 0x1060, size 92.
    put32(r + 0x48, 0x1060);
    put32(r + 0x48 + 4, 92);
    const size_t v = r + 0x60;
    put16(v, 92);
    put16(v + 2, 52);
    const char key[] = "VS_VERSION_INFO";
    for (size_t i = 0; i < sizeof key; ++i)
        put16(v + 6 + 2 * i, static_cast<unsigned char>(key[i]));
    put32(v + 40, 0xFEEF04BD);
    put32(v + 44, 0x00010000);
    put32(v + 48, ms);
    put32(v + 52, ls);
    return f;
}

void writeFile(const std::string& name, const std::vector<unsigned char>& bytes)
{
    std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

} // namespace

class DirectXFileTest : public SandboxTest
{
};

TEST_F(DirectXFileTest, PeVersionReaderReadsFixedFileInfo)
{
    writeFile("d3d9.dll", makePe(0x00050003, 0x0A280385));
    uint32_t ms = 0, ls = 0;
    ASSERT_TRUE(getFileVersion("d3d9.dll", ms, ls));
    EXPECT_EQ(ms, 0x00050003u);
    EXPECT_EQ(ls, 0x0A280385u);

    writeFile("noversion.dll", makePe(1, 2, false));
    EXPECT_FALSE(getFileVersion("noversion.dll", ms, ls));
    EXPECT_FALSE(getFileVersion("missing.dll", ms, ls));

    // Every truncation of a valid image fails cleanly instead of reading past the end.
    auto image = makePe(1, 2);
    for (size_t n = 0; n < 0x2BC; n += 7) // 0x2BC: end of the version block
    {
        writeFile("cut.dll", std::vector<unsigned char>(image.begin(), image.begin() + n));
        EXPECT_FALSE(getFileVersion("cut.dll", ms, ls)) << n;
    }
    // A resource offset pointing far outside the file.
    image[0x200 + 20] = 0xF0;
    writeFile("bad.dll", image);
    EXPECT_FALSE(getFileVersion("bad.dll", ms, ls));
}

TEST_F(DirectXFileTest, WinePrefixIsTheSystemFolder)
{
    SKIP_ON_WINDOWS("the system folder is the Wine prefix's on Linux only");
    std::filesystem::create_directories("prefix/drive_c/windows/system32");
    writeFile("prefix/drive_c/windows/system32/d3d9.dll", makePe(0x00050003, 1));
    std::string old = getenv("WINEPREFIX") ? getenv("WINEPREFIX") : "";
    platform::setEnvironmentVariable("WINEPREFIX", (m_sandbox.path() / "prefix").string().c_str());
    CSystemDxProvider provider;
    uint32_t packed = 0;
    EXPECT_TRUE(getDirectXVersion(provider, &packed, nullptr, 0));
    EXPECT_EQ(packed, 0x00090000u);
    platform::setEnvironmentVariable("WINEPREFIX", (m_sandbox.path() / "none").string().c_str());
    EXPECT_FALSE(wineSystemDirectory().has_value());
    if (old.empty())
        platform::unsetEnvironmentVariable("WINEPREFIX");
    else
        platform::setEnvironmentVariable("WINEPREFIX", old.c_str());
}
