// The system's answers to the DirectX check on Windows, run under Wine: the
// DxDiag provider through COM and the version resources through the system's
// version functions. Wine's provider answers 9, 0 and "c", and its system
// libraries carry Wine's own version resources.
#include "platform/DxDiag.h"
#include "launcher/DirectXCheck.h"
#include "platform/PeVersion.h"

#include <gtest/gtest.h>

TEST(DxDiagWin32, ProviderAnswersTheSystemInfo)
{
    platform::DxDiagInfo info = platform::queryDxDiagSystemInfo();
    ASSERT_TRUE(info.available);
    ASSERT_TRUE(info.major && info.minor && info.letter);
    EXPECT_EQ(9u, *info.major);
    EXPECT_EQ(0u, *info.minor);
    EXPECT_EQ("c", *info.letter);
    // COM was undone after the query: a second one on the same thread works alike.
    platform::DxDiagInfo again = platform::queryDxDiagSystemInfo();
    EXPECT_TRUE(again.available && again.letter == info.letter);
}

TEST(DxDiagWin32, SystemVersionFunctionsAgreeWithTheImageReader)
{
    std::optional<std::string> folder = platform::systemLibraryFolder();
    ASSERT_TRUE(folder);
    for (const char* name : {"ddraw.dll", "d3d8.dll", "d3d9.dll", "dinput.dll"})
    {
        std::string path = *folder + "/" + name;
        uint32_t ms = 0, ls = 0, peMs = 1, peLs = 1;
        ASSERT_TRUE(platform::libraryFileVersion(path, ms, ls)) << path;
        ASSERT_TRUE(platform::readPeFileVersion(path, peMs, peLs)) << path;
        EXPECT_EQ(peMs, ms) << path;
        EXPECT_EQ(peLs, ls) << path;
    }
    uint32_t ms = 0, ls = 0;
    EXPECT_FALSE(platform::libraryFileVersion(*folder + "/no-such-library.dll", ms, ls));
}

TEST(DxDiagWin32, CheckReportsNineZeroCWithoutWarning)
{
    CSystemDxProvider system;
    uint32_t packed = 0;
    char text[16];
    ASSERT_TRUE(getDirectXVersion(system, &packed, text, sizeof text));
    EXPECT_EQ(DX_VERSION_9_0C, packed);
    EXPECT_STREQ("9.0c", text);
    EXPECT_FALSE(packed < DX_VERSION_9_0C); // the launcher's warning rule

    // Without DxDiag the file table finds d3d9.dll and stops at 9.0.
    unsigned major = 0, minor = 0;
    char letter = 'x';
    ASSERT_TRUE(probeDllVersions(system, major, minor, letter));
    EXPECT_EQ(9u, major);
    EXPECT_EQ(0u, minor);
    EXPECT_EQ(' ', letter);
}
