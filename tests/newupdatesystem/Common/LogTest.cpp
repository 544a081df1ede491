#include "newupdatesystem/Common/Log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "newupdatesystem/Common/LogControl.h"
#include "platform/Environment.h"
#include "support/Sandbox.h"

namespace
{

std::tm fakeNow{};

std::tm fakeClock()
{
    return fakeNow;
}

void setFakeTime(int year, int month, int day, int hour, int minute, int second)
{
    fakeNow = std::tm{};
    fakeNow.tm_year = year - 1900;
    fakeNow.tm_mon = month - 1;
    fakeNow.tm_mday = day;
    fakeNow.tm_hour = hour;
    fakeNow.tm_min = minute;
    fakeNow.tm_sec = second;
}

std::string readFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::string kHeader = "\n===== Logging started =====\n";

class LogTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        platform::unsetEnvironmentVariable("COMPUTERNAME");
        platform::setEnvironmentVariable("computername", "GAMEPC");
        setFakeTime(2012, 7, 18, 14, 3, 27);
        logSetClock(&fakeClock);
        m_console = std::tmpfile();
        ASSERT_NE(m_console, nullptr);
        logSetConsoleStream(m_console);
        logRestart();
    }

    void TearDown() override
    {
        logStop();
        logSetConsoleStream(stdout);
        logSetClock(nullptr);
        std::fclose(m_console);
        platform::unsetEnvironmentVariable("computername");
    }

    std::string file() { return readFile("GAMEPC_120718.log"); }
    std::string body() { return file().substr(kHeader.size()); }

    std::string consoleText()
    {
        std::fflush(m_console);
        std::rewind(m_console);
        std::string text;
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, m_console)) > 0)
            text.append(chunk, n);
        return text;
    }

    std::FILE* m_console = nullptr;
};

TEST_F(LogTest, DailyFileNamedAfterComputerAndDateStartsWithHeader)
{
    EXPECT_EQ(logFileName(), "GAMEPC_120718.log");
    EXPECT_EQ(file(), kHeader);
}

TEST_F(LogTest, InfoWritesStampedLineToFileAndPlainLineToConsole)
{
    logInfo("Connected to %s:%d", "10.0.0.1", 7000);
    EXPECT_EQ(body(), "14:03:27 Connected to 10.0.0.1:7000\n");
    EXPECT_EQ(consoleText(), "Connected to 10.0.0.1:7000\n");
}

TEST_F(LogTest, EmptyInfoIsAnEmptyLineAndEmptyPartIsNothing)
{
    logPart("%s", "");
    logInfo("%s", "");
    EXPECT_EQ(body(), "14:03:27 \n");
}

TEST_F(LogTest, PartsJoinIntoOneLineWithOneStamp)
{
    logPart("a");
    fakeNow.tm_sec = 28;
    logPart("b");
    logPart("c");
    logInfo(" done");
    EXPECT_EQ(body(), "14:03:27 abc done\n");
    EXPECT_EQ(consoleText(), "abc done\n");
}

TEST_F(LogTest, WarningAfterOpenLineStartsANewLine)
{
    logPart("scanning");
    logWarning("slow %d", 1);
    // The stamp is written before the prefix line feed, so it closes the open line.
    EXPECT_EQ(body(), "14:03:27 scanning14:03:27 \nslow 1\n");
    EXPECT_EQ(consoleText(), "scanning\nslow 1\n");
}

TEST_F(LogTest, FileOnlyAfterOpenLineAndNothingOnConsole)
{
    logFileOnly("quiet");
    logPart("x");
    logFileOnly("y");
    EXPECT_EQ(body(), "14:03:27 quiet\n14:03:27 x14:03:27 \ny\n");
    EXPECT_EQ(consoleText(), "x");
}

TEST_F(LogTest, ErrorStandsBetweenSeparatorLines)
{
    logError("broken %s", "pipe");
    EXPECT_EQ(body(), "\n==============\n14:03:27 broken pipe\n==============\n\n");
    EXPECT_EQ(consoleText(), "broken pipe\n"); // not a terminal: no colour codes
}

TEST_F(LogTest, BufferBoundary)
{
    std::string fits(16382, 'a');
    logInfo("%s", fits.c_str());
    EXPECT_EQ(body(), "14:03:27 " + fits + "\n");

    logRestart();
    std::string full(16383, 'b');
    logInfo("%s", full.c_str());
    EXPECT_EQ(file(), kHeader + "14:03:27 " + fits + "\n" + kHeader + "14:03:27 " + full);
}

TEST_F(LogTest, OverlongMessageIsDroppedWithConsoleNotice)
{
    std::string tooLong(16384, 'c');
    logInfo("%s", tooLong.c_str());
    EXPECT_EQ(body(), "");
    EXPECT_EQ(consoleText(), "CRITICAL: Log buffer overrun!!!");
}

TEST_F(LogTest, DroppedWarningLeavesTheOpenLineOpen)
{
    logPart("open");
    std::string rest(16383, 'd'); // with the prefix line feed it reaches the limit
    logWarning("%s", rest.c_str());
    logWarning("next");
    EXPECT_EQ(body(), "14:03:27 open14:03:27 \nnext\n");
}

TEST_F(LogTest, MidnightSwitchesToTheNewDaysFile)
{
    setFakeTime(2012, 7, 18, 23, 59, 59);
    logInfo("late");
    setFakeTime(2012, 7, 19, 0, 0, 1);
    logInfo("early");
    EXPECT_EQ(logFileName(), "GAMEPC_120719.log");
    EXPECT_EQ(body(), "23:59:59 late\n");
    EXPECT_EQ(readFile("GAMEPC_120719.log"), "00:00:01 early\n");
}

TEST_F(LogTest, NewYearUsesTheYearModuloHundred)
{
    setFakeTime(2100, 1, 1, 0, 0, 0);
    logInfo("y");
    EXPECT_EQ(logFileName(), "GAMEPC_000101.log");
}

TEST_F(LogTest, ComputerNameIsFoundWithoutRegardToCaseAndFallsBackToLog)
{
    platform::unsetEnvironmentVariable("computername");
    platform::setEnvironmentVariable("ComputerName", "Host7");
    logRestart();
    EXPECT_EQ(logFileName(), "Host7_120718.log");

    platform::unsetEnvironmentVariable("ComputerName");
    logRestart();
    EXPECT_EQ(logFileName(), "Log_120718.log");
    EXPECT_TRUE(std::filesystem::exists("Log_120718.log"));
}

TEST_F(LogTest, FileThatCannotBeOpenedLeavesTheConsole)
{
    logStop();
    std::filesystem::create_directory("GAMEPC_120720.log");
    setFakeTime(2012, 7, 20, 9, 0, 0);
    logRestart();
    EXPECT_EQ(logFileName(), "");
    logInfo("still here");
    EXPECT_EQ(consoleText(), "still here\n");
}

#if !defined(_WIN32)
// A link planted at the daily file's name, dangling or not, is replaced by a
// file of the log's own; its target never receives a line.
TEST_F(LogTest, LinkAtTheFileNameIsReplacedNotWrittenThrough)
{
    logStop();
    std::filesystem::remove("GAMEPC_120718.log");
    std::ofstream("victim.txt") << "mine";
    std::filesystem::create_symlink("victim.txt", "GAMEPC_120718.log");
    std::filesystem::create_symlink("nowhere.txt", "GAMEPC_120719.log");
    logRestart();
    logInfo("today");
    setFakeTime(2012, 7, 19, 0, 0, 1);
    logInfo("tomorrow");
    EXPECT_EQ(readFile("victim.txt"), "mine");
    EXPECT_FALSE(std::filesystem::exists("nowhere.txt"));
    EXPECT_FALSE(std::filesystem::is_symlink("GAMEPC_120718.log"));
    EXPECT_EQ(file(), kHeader + "14:03:27 today\n");
    EXPECT_EQ(readFile("GAMEPC_120719.log"), "00:00:01 tomorrow\n");
}
#endif

TEST_F(LogTest, FileOpensWithTheFirstMessageInTheChosenFolder)
{
    // As at program start: nothing open until something is logged.
    logStop();
    std::filesystem::remove("GAMEPC_120718.log");
    logSetFolder("");
    EXPECT_EQ(logFileName(), "");
    EXPECT_FALSE(std::filesystem::exists("GAMEPC_120718.log"));
    logFileOnly("first");
    EXPECT_EQ(file(), kHeader + "14:03:27 first\n");

    // A folder given later moves the file; the header starts the new one.
    std::filesystem::create_directory("logs");
    logSetFolder("logs");
    EXPECT_EQ(logFileName(), "logs/GAMEPC_120718.log");
    setFakeTime(2012, 7, 19, 0, 0, 1);
    logInfo("moved");
    EXPECT_EQ(logFileName(), "logs/GAMEPC_120719.log");
    EXPECT_EQ(readFile("logs/GAMEPC_120718.log"), kHeader);
    EXPECT_EQ(readFile("logs/GAMEPC_120719.log"), "00:00:01 moved\n");
    EXPECT_EQ(file(), kHeader + "14:03:27 first\n");

    // A stopped log stays closed until a folder is chosen again.
    logStop();
    logInfo("console only");
    EXPECT_EQ(logFileName(), "");
    logSetFolder("logs");
    logInfo("back");
    EXPECT_EQ(readFile("logs/GAMEPC_120719.log"), "00:00:01 moved\n" + kHeader + "00:00:01 back\n");
    logSetFolder("");
}

TEST_F(LogTest, LinesFromManyThreadsStayWhole)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [t]
            {
                for (int i = 0; i < 200; ++i)
                    logInfo("thread %d line %03d", t, i);
            });
    for (auto& t : threads)
        t.join();
    std::istringstream lines(body());
    std::string line;
    int count = 0;
    while (std::getline(lines, line))
    {
        ++count;
        EXPECT_EQ(line.size(), std::string("14:03:27 thread 0 line 000").size()) << line;
    }
    EXPECT_EQ(count, 800);
}

} // namespace
