// The self-update batch file of the Windows build: its lines, its quoting, and
// a real run by the command interpreter.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "newupdatesystem/client/SelfUpdateBatch.h"
#include "newupdatesystem/client/SelfUpdateScript.h"
#include "platform/Process.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{

std::string readAll(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const fs::path& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary) << text;
}

} // namespace

TEST(SelfUpdateBatch, LinesInTheirOrder)
{
    EXPECT_EQ("dir0029\\", selfUpdateFolderName(0x29));
    EXPECT_EQ("TmpSelfupdate.bat", std::string(kSelfUpdateScriptName));
    EXPECT_EQ("", selfUpdateScriptHead());
    EXPECT_EQ(":Label0\n"
              "del \"tovra.exe\"\n"
              "if exist \"tovra.exe\" goto Label0\n"
              "move /Y \"dir0029\\tovra.exe\" .\\\n\n",
              selfUpdateScriptFileBlock(0, "dir0029\\", "tovra.exe"));
    EXPECT_EQ("\"Zelvan.exe\" /auto_realm main\n"
              "rmdir /S /Q \"dir0029\\\"\n",
              selfUpdateScriptTail("dir0029\\", "Zelvan.exe", "main"));
}

TEST(SelfUpdateBatch, NamesCannotBreakOutOfTheirQuotes)
{
    // Inside quotes cmd takes & | < > ^ literally; % would expand.
    EXPECT_EQ("\"a & b.dll\"", batchQuote("a & b.dll"));
    EXPECT_EQ("\"100%% done^|x\"", batchQuote("100% done^|x"));
    EXPECT_EQ("\"ab\"", batchQuote("a\"b"));
    EXPECT_EQ("\"ab\"", batchQuote("a\r\nb"));
    // A plain realm stays as it was; anything else is quoted.
    EXPECT_EQ("main-2.eu", batchArgument("main-2.eu"));
    EXPECT_EQ("\"x & del *\"", batchArgument("x & del *"));
    EXPECT_EQ("\"\"", batchArgument(""));
    EXPECT_EQ("\"%%PATH%%\" /auto_realm \"a&b\"\nrmdir /S /Q \"d\\\"\n",
              selfUpdateScriptTail("d\\", "%PATH%", "a&b"));
}

// The interpreter runs what we wrote: old files replaced, odd names intact,
// the folder gone, nothing run that a name smuggled in.
TEST(SelfUpdateBatch, InterpreterReplacesTheFilesAndRemovesTheFolder)
{
    Sandbox sandbox;
    const std::string folder = selfUpdateFolderName(0x29);
    fs::create_directory("dir0029");
    const std::string names[] = {"tovra.dll", "a & b.txt", "100% (x).txt"};
    std::string text = selfUpdateScriptHead();
    unsigned number = 0;
    for (const std::string& name : names)
    {
        writeAll(name, "old");
        writeAll(fs::path("dir0029") / name, "new " + name);
        text += selfUpdateScriptFileBlock(number++, folder, name);
    }
    // The launcher's place is taken by a program every system has.
    text += selfUpdateScriptTail(folder, "hostname.exe", "main & echo x>injected.txt");
    writeAll(fs::path("dir0029") / kSelfUpdateScriptName, text);

    platform::ProcessId pid = -1;
    ASSERT_TRUE(platform::spawnScript((sandbox.path() / "dir0029" / kSelfUpdateScriptName).string(), pid));
    int exitCode = -1;
    ASSERT_EQ(platform::WaitResult::Exited, platform::waitProcess(pid, 60000, exitCode));

    for (const std::string& name : names)
        EXPECT_EQ("new " + name, readAll(name)) << name;
    // Wine's interpreter keeps the running batch open, so there the emptied
    // folder itself stays; Windows removes it with the batch in it.
    EXPECT_TRUE(!fs::exists("dir0029") || fs::is_empty("dir0029"));
    EXPECT_FALSE(fs::exists("injected.txt"));
}
