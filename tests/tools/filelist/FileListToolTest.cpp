#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/FileListTestUtil.h"

namespace
{
struct ToolRun
{
    int code;
    std::string out;
};

// Runs the tool with arguments; stdout and stderr together.
ToolRun runTool(const std::string& args)
{
    const std::string command = std::string(FILELIST_TOOL) + " " + args + " 2>&1";
    ToolRun run{-1, {}};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        run.out.append(chunk, n);
    const int status = pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class FileListToolTest : public SandboxTest
{
};
} // namespace

TEST_F(FileListToolTest, ScansAFolderAndDumpsTheList)
{
    writeFile("game/Game.exe", "executable");
    writeFile("game/Data/Maps/one.map", "");
    writeFile("game/debug.log", "skipped");

    const ToolRun scan = runTool("scan game out.lst --checksums");
    ASSERT_EQ(scan.code, 0) << scan.out;
    EXPECT_NE(scan.out.find("2 files, 2 folders, 10 bytes"), std::string::npos) << scan.out;

    CFileList list;
    list.createFromFile("out.lst");
    EXPECT_EQ(list.fileCount, 2u);
    EXPECT_EQ(list.getFileInfo("game.exe", false).flags, FI_CHECKSUM);
    CFileList direct;
    direct.scan("game", true);
    direct.buildBin();
    EXPECT_EQ(readFile("out.lst"), std::string(direct.image().begin(), direct.image().end()));

    const ToolRun dump = runTool("dump out.lst");
    ASSERT_EQ(dump.code, 0) << dump.out;
    EXPECT_NE(dump.out.find("  1 files, Old: data\n  1 files, Old: data/maps\n"), std::string::npos)
        << dump.out;
    // MD5 of the empty file is never computed: zero words.
    EXPECT_NE(dump.out.find("      0b 00000000 00000000 00000000 00000000 "), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("Old: data/maps/one.map\n"), std::string::npos);
    EXPECT_NE(dump.out.find("Old: game.exe\n"), std::string::npos);
    EXPECT_NE(dump.out.find("2 files, 2 folders, 10 bytes\n"), std::string::npos);
    EXPECT_EQ(dump.out.find("debug"), std::string::npos);
}

TEST_F(FileListToolTest, HelpAndErrors)
{
    const ToolRun help = runTool("--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("dump"), std::string::npos);
    EXPECT_NE(help.out.find("scan"), std::string::npos);

    EXPECT_NE(runTool("").code, 0);
    writeFile("bad.lst", "not a list at all, really not");
    const ToolRun bad = runTool("dump bad.lst");
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.out.find("FLIST_OPEN_NOT_A_LIST"), std::string::npos) << bad.out;
    const ToolRun missing = runTool("scan nowhere out.lst");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.out.find("nowhere/*.*"), std::string::npos) << missing.out;
}

namespace
{
std::vector<std::string> folderNames(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
} // namespace

TEST_F(FileListToolTest, LeavesALogFileOnlyWhereAskedTo)
{
    // Nothing to log: not even an empty daily file.
    ASSERT_EQ(runTool("--help").code, 0);
    EXPECT_EQ(folderNames("."), std::vector<std::string>{});

    writeFile("game/Game.exe", "executable");
    ASSERT_EQ(runTool("scan game out.lst").code, 0);
    ASSERT_EQ(runTool("dump out.lst").code, 0);
    EXPECT_EQ(folderNames("."), (std::vector<std::string>{"game", "out.lst"}));

    std::filesystem::create_directory("logs");
    const ToolRun dump = runTool("--log-dir logs dump out.lst");
    ASSERT_EQ(dump.code, 0) << dump.out;
    const std::vector<std::string> logs = folderNames("logs");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].substr(logs[0].size() - 4), ".log");
    const std::string text = readFile("logs/" + logs[0]);
    EXPECT_EQ(text.rfind("\n===== Logging started =====\n", 0), 0u) << text;
    EXPECT_NE(text.find("Old: game.exe\n"), std::string::npos) << text;
    EXPECT_EQ(folderNames(".").size(), 3u);
}
