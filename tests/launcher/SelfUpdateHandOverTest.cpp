// The self-update hand-over on Windows, under Wine: a batch file from the
// client's own writer, started the way the launcher starts it (cmd.exe without
// a console window), waits while the old launcher runs and holds its file,
// then puts the new files in place and restarts the launcher.
#include "launcher/GameLaunch.h"
#include "newupdatesystem/client/SelfUpdateScript.h"
#include "platform/Process.h"
#include "support/GameStandIn.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;

TEST(SelfUpdateHandOver, BatchReplacesTheRunningLauncherAndRestartsIt)
{
    Sandbox sandbox;
    ASSERT_TRUE(fs::exists(standInProgram())) << standInProgram();
    const std::string folder = selfUpdateFolderName(0x29);
    fs::create_directory("dir0029");

    // The old launcher and a file beside it; the new ones in the temporary
    // folder. Bytes after the image keep the new program runnable and tell it apart.
    fs::copy_file(standInProgram(), "Zelvan.exe");
    const std::string newLauncher = readWholeFile(standInProgram()) + "new launcher";
    std::ofstream(fs::path("dir0029") / "Zelvan.exe", std::ios::binary) << newLauncher;
    std::ofstream("pages.txt", std::ios::binary) << "old";
    std::ofstream(fs::path("dir0029") / "pages.txt", std::ios::binary) << "new";

    // The old launcher runs, without a window, until it is released.
    platform::ProcessId old = -1;
    ASSERT_TRUE(platform::spawnProcess((sandbox.path() / "Zelvan.exe").string(), {"Zelvan.exe", "nowindow"},
                                       true, old));
    ASSERT_TRUE(waitFor([] { return standInStarts() == 1; }));
    std::error_code ec;
    EXPECT_FALSE(fs::remove("Zelvan.exe", ec)) << "a running program's file is locked";
    EXPECT_TRUE(fs::exists("Zelvan.exe"));

    std::string text = selfUpdateScriptHead();
    text += selfUpdateScriptFileBlock(0, folder, "Zelvan.exe");
    text += selfUpdateScriptFileBlock(1, folder, "pages.txt");
    text += selfUpdateScriptTail(folder, "Zelvan.exe", "main");
    std::ofstream(fs::path("dir0029") / kSelfUpdateScriptName, std::ios::binary) << text;

    int batch = startDetached(folder + kSelfUpdateScriptName, LaunchKind::Script);
    ASSERT_GT(batch, 0);
    // The batch keeps trying to delete the old launcher until it has ended.
    std::ofstream("release").put('x');
    int code = -1;
    EXPECT_EQ(platform::WaitResult::Exited, platform::waitProcess(old, 20000, code));
    EXPECT_EQ(platform::WaitResult::Exited, platform::waitProcess(batch, 60000, code));

    EXPECT_EQ(newLauncher, readWholeFile("Zelvan.exe"));
    EXPECT_EQ("new", readWholeFile("pages.txt"));
    // The new launcher ran (it ends at once: "release" is there) with the realm.
    ASSERT_EQ(2u, standInStarts()) << standInLog();
    std::string restart = standInLog().substr(standInLog().find('\n') + 1);
    EXPECT_NE(std::string::npos, restart.find("Zelvan.exe\" /auto_realm main")) << restart;
    // Wine's interpreter keeps the running batch open, so there the emptied
    // folder itself stays; Windows removes it with the batch in it.
    EXPECT_TRUE(!fs::exists("dir0029") || fs::is_empty("dir0029"));
}
