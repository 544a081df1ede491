// The game start on Windows, under Wine: the launcher's command line reaches
// a stand-in game, its window is found by class, and the wait for a window
// that never comes ends at its bound.
#include "launcher/GameLaunch.h"
#include "platform/Process.h"
#include "support/GameStandIn.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

namespace fs = std::filesystem;

namespace
{

class GameLaunchTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(standInProgram())) << standInProgram();
        fs::copy_file(standInProgram(), "ZelvanClient.exe");
        ASSERT_FALSE(waitForGameWindow(0)) << "a game window is open before the start";
    }

    // Ends the stand-in the way a test may: by the file it watches, then by force.
    void endGame(int pid)
    {
        std::ofstream("release").put('x');
        int code = -1;
        if (platform::waitProcess(pid, 10000, code) != platform::WaitResult::Exited)
        {
            platform::stopProcess(pid);
            platform::waitProcess(pid, 10000, code);
        }
        EXPECT_TRUE(waitFor([] { return !waitForGameWindow(0); })) << "the game's window outlived it";
    }
};

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

TEST_F(GameLaunchTest, GameGetsTheCommandLineAndItsWindowEndsTheWait)
{
    const std::string args = "-realm main  \"quoted arg\" 100%";
    int pid = startDetached(gameCommandLine(args), LaunchKind::Game);
    ASSERT_GT(pid, 0);
    const auto start = Clock::now();
    const unsigned bound = 20000;
    EXPECT_TRUE(waitForGameWindow(bound));
    EXPECT_LT(msSince(start), bound);
    // The text after the program name arrives as it was, blanks and quotes kept.
    ASSERT_TRUE(waitFor([] { return standInStarts() == 1; }));
    EXPECT_EQ("ZelvanClient.exe " + args + "\n", standInLog());
    endGame(pid);
}

TEST_F(GameLaunchTest, WaitForAWindowThatNeverComesEndsAtItsBound)
{
    int pid = startDetached(gameCommandLine("nowindow"), LaunchKind::Game);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitFor([] { return standInStarts() == 1; }));
    const auto start = Clock::now();
    EXPECT_FALSE(waitForGameWindow(600));
    const long long waited = msSince(start);
    EXPECT_GE(waited, 600);
    EXPECT_LT(waited, 600 + 5000);
    endGame(pid);
}

TEST_F(GameLaunchTest, MissingGameOrOverlongLineDoesNotStartAnything)
{
    fs::remove("ZelvanClient.exe");
    EXPECT_EQ(-1, startDetached(gameCommandLine("-x"), LaunchKind::Game));
    EXPECT_EQ(-1, startDetached("", LaunchKind::Game));

    // A line beyond the limit is cut before the start, not refused.
    fs::copy_file(standInProgram(), "ZelvanClient.exe");
    std::string args = "nowindow " + std::string(2000, 'a');
    int pid = startDetached(gameCommandLine(args), LaunchKind::Game);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitFor([] { return standInStarts() == 1; }));
    EXPECT_EQ(gameCommandLine(args).substr(0, COMMAND_LINE_MAX) + "\n", standInLog());
    endGame(pid);
}
