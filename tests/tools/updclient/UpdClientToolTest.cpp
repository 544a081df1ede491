// updclient end to end: the real binary against the scripted server, checking
// exit statuses and what goes to stdout and stderr.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "newupdatesystem/client/ClientTestSupport.h"
#include "support/Sandbox.h"

#ifndef UPDCLIENT_TOOL
#error "UPDCLIENT_TOOL names the built updclient binary"
#endif

namespace
{

struct ToolRun
{
    int status = -1;
    std::string out;
    std::string err;
};

ToolRun runTool(const std::vector<std::string>& args)
{
    ToolRun run;
    std::string outFile = "tool.out", errFile = "tool.err";
    pid_t pid = ::fork();
    if (pid == 0)
    {
        std::freopen(outFile.c_str(), "w", stdout);
        std::freopen(errFile.c_str(), "w", stderr);
        std::vector<char*> argv;
        std::string tool = UPDCLIENT_TOOL;
        argv.push_back(tool.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(tool.c_str(), argv.data());
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readFile(outFile);
    run.err = readFile(errFile);
    return run;
}

class UpdClientToolTest : public SandboxTest
{
};

} // namespace

TEST_F(UpdClientToolTest, CommandPrintsEchoLinesOnStdoutOnly)
{
    FakeServer server;
    server.echoes = {"first line", "second line"};
    auto run = runTool({"--server", "127.0.0.1:" + std::to_string(server.port()), "command", "status"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("first line\nsecond line\n", run.out);
    EXPECT_NE(std::string::npos, run.err.find("Echo: first line")); // the log, on stderr
    EXPECT_NE(std::string::npos, run.err.find("status 1: Update completed successfully."));
}

TEST_F(UpdClientToolTest, UpdateAndSelfUpdateResults)
{
    // The update deletes what the server lacks, so it works in its own folder.
    std::filesystem::create_directory("game");
    FakeServer server;
    server.publish({{"a.txt", "alpha", 1000000}});
    auto run = runTool({"update", "--server", "127.0.0.1:" + std::to_string(server.port()), "--dir", "game",
                        "--cache", "SvCache.lst", "--exclude", "skip/"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("", run.out);
    EXPECT_EQ("alpha", readFile("game/a.txt"));
    EXPECT_TRUE(std::filesystem::exists("SvCache.lst"));
    EXPECT_NE(std::string::npos, run.err.find("Downloading file: a.txt")) << run.err;

    // A new installation's folder is made, however deep.
    FakeServer fresh;
    fresh.publish({{"a.txt", "alpha", 1000000}});
    run = runTool({"update", "--server", "127.0.0.1:" + std::to_string(fresh.port()), "--dir", "new/game",
                   "--list", (std::filesystem::current_path() / "new.lst").string()});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("alpha", readFile("new/game/a.txt"));

    FakeServer self;
    self.serve("self_upd", makeFileList({{"tool.bin", "v2", 5}}));
    self.serve("tool.bin", std::string("v2"));
    run = runTool({"--server", "127.0.0.1:" + std::to_string(self.port()), "--realm", "main", "selfupdate"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("dir0029/TmpSelfupdate.sh\n", run.out);
}

TEST_F(UpdClientToolTest, FailuresExitWithTheirStatus)
{
    FakeServer busy;
    busy.firstAnswer = makeTag("Busy");
    auto run = runTool({"--server", "127.0.0.1:" + std::to_string(busy.port()), "command", "x"});
    EXPECT_EQ(UPD_SERVER_REFUSED, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_NE(std::string::npos, run.err.find("status 7: The server is temporarily down for maintenance."));
}

TEST_F(UpdClientToolTest, UsageErrorsExitWith2AndOneLine)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"update"},
                                          {"--server", "h:99999", "update"},
                                          {"--server", "h", "selfupdate"},
                                          {"--server", "h", "--mode", "fast", "update"},
                                          {"--server", "h"}})
    {
        auto run = runTool(args);
        EXPECT_EQ(2, run.status) << args.back();
        EXPECT_EQ("", run.out);
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    }
    auto typo = runTool({"--server", "h", "updat"});
    EXPECT_EQ(2, typo.status);
    EXPECT_NE(std::string::npos, typo.err.find("unknown subcommand 'updat'")) << typo.err;
    auto version = runTool({"--version"});
    EXPECT_EQ(0, version.status);
    EXPECT_EQ(0u, version.out.rfind("updclient ", 0)) << version.out;
    auto help = runTool({"--help"});
    EXPECT_EQ(0, help.status);
    for (const char* word : {"update", "selfupdate", "command TEXT", "upload", "--server", "--recheck",
                             "--exclude", "--mode", "--login", "--realm", "Exit status"})
        EXPECT_NE(std::string::npos, help.out.find(word)) << word;
}

TEST_F(UpdClientToolTest, LimitRateReachesTheClientAndBadRatesAreUsageErrors)
{
    std::filesystem::create_directory("game");
    FakeServer server;
    server.publish({{"a.txt", "alpha", 1000000}});
    const std::string address = "127.0.0.1:" + std::to_string(server.port());
    auto run = runTool({"--server", address, "--limit-rate", "1.5M", "--dir", "game", "update"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("alpha", readFile("game/a.txt"));
    EXPECT_NE(std::string::npos, run.err.find("Rate limit 1572864 bytes/s")) << run.err;

    for (const char* rate : {"fast", "2X", "-1", "2 M", "", "1k", "17G", "1.2.3"})
    {
        run = runTool({"--server", address, "--limit-rate", rate, "update"});
        EXPECT_EQ(2, run.status) << rate;
        EXPECT_NE(std::string::npos, run.err.find("--limit-rate")) << rate << ": " << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    }
    EXPECT_NE(std::string::npos, runTool({"--help"}).out.find("--limit-rate"));
}
