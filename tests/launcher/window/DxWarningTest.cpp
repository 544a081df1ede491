#include "launcher/DxWarning.h"
#include "launcher/TextTable.h"

#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace
{

class FixedDx : public IDxProvider
{
public:
    DxDiagInfo info;
    bool hasSystemDir = true;
    DxDiagInfo readDxDiag() override { return info; }
    std::optional<std::string> getSystemDirectory() override
    {
        return hasSystemDir ? std::optional<std::string>("sys") : std::nullopt;
    }
    bool getFileVersion(const std::string& path, uint32_t& ms, uint32_t& ls) override
    {
        ms = 0x00050003;
        ls = 0;
        return path == "sys/d3d9.dll";
    }
};

class DxWarningTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        setenv("ZELVAN_DIALOG_LOG", (m_sandbox.path() / "dialogs.log").c_str(), 1);
        resetDirectXFirstPaintHook();
    }
    void TearDown() override { unsetenv("ZELVAN_DIALOG_LOG"); }
    std::string dialogs()
    {
        std::ifstream in("dialogs.log");
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    CTextTable m_texts;
};

} // namespace

TEST_F(DxWarningTest, OldDirectXWarnsOncePerProcess)
{
    FixedDx dx; // no DxDiag, d3d9.dll readable: 9.0
    runDirectXFirstPaintHook(nullptr, m_texts, dx);
    runDirectXFirstPaintHook(nullptr, m_texts, dx);
    EXPECT_EQ(dialogs(), "Warning|Your DirectX version is too old. Please, update your DirectX to at least "
                         "version 9.\\nYou can download DirectX by following link:\\n\\n" +
                             std::string(DIRECTX_DOWNLOAD_URL) + "\n");
}

TEST_F(DxWarningTest, CurrentDirectXOrNoWinePrefixStaysQuiet)
{
    FixedDx dx;
    dx.info.available = true;
    dx.info.major = 9;
    dx.info.minor = 0;
    dx.info.letter = "c";
    runDirectXFirstPaintHook(nullptr, m_texts, dx);
    resetDirectXFirstPaintHook();
    FixedDx none;
    none.hasSystemDir = false;
    runDirectXFirstPaintHook(nullptr, m_texts, none);
    EXPECT_EQ(dialogs(), "");
    EXPECT_FALSE(directXNeedsWarning(true, 0x00090003));
    EXPECT_TRUE(directXNeedsWarning(true, 0x00090002));
    EXPECT_FALSE(directXNeedsWarning(true, 0x000A0000));
    EXPECT_TRUE(directXNeedsWarning(false, 0x000A0000));
}
