// Control sessions: commands, mirroring a folder onto the server, logins.
#include <signal.h>

#include <cstdlib>
#include <fstream>

#include "tests/e2e/E2eFixture.h"

namespace fs = std::filesystem;

namespace
{
// The peak resident memory of a process in KiB, from /proc; -1 if unknown.
long peakKib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}
} // namespace

class ControlE2e : public E2eTest
{
};

TEST_F(ControlE2e, CommandEchoesItsLines)
{
    writeFile("content/x.txt", "x");
    startServer("content", {"--allow-anonymous-changes"});
    ClientRun help = runClient(".", {"command", "help"});
    ASSERT_EQ(help.exitCode, 0) << help.err;
    EXPECT_NE(help.out.find("suspend"), std::string::npos) << help.out;
    ClientRun status = runClient(".", {"command", "status"});
    ASSERT_EQ(status.exitCode, 0);
    EXPECT_NE(status.out.find("published: 1 files"), std::string::npos) << status.out;
}

TEST_F(ControlE2e, UploadMirrorsAFolderThatAFreshClientThenGets)
{
    writeFile("content/Old/gone.txt", "old");
    writeFile("content/keep.txt", "old text");
    writeFile("content/same.txt", "same");
    startServer("content", {"--allow-anonymous-changes"});

    writeFile("publish/keep.txt", "new text, longer");
    writeFile("publish/same.txt", "same");
    writeFile("publish/maps/level1/map.bin", pseudoRandom(70000, 3));
    writeFile("publish/maps/empty.txt", "");
    ClientRun upload =
        runClient(".", {"--dir", fs::absolute("publish").string(), "--list", "publish.lst", "upload"});
    ASSERT_EQ(upload.exitCode, 0) << upload.err;
    EXPECT_EQ(readTree("content"), readTree("publish"));

    fs::create_directory("fresh");
    ClientRun run = update("fresh");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readTree("fresh"), readTree("publish"));
}

TEST_F(ControlE2e, LoginAcceptedRejectedAndMissing)
{
    writeFile("content/x.txt", "x");
    writeFile("users.txt", "admin:letmein\n");
    startServer("content", {"--users", fs::absolute("users.txt").string()});
    EXPECT_EQ(runClient(".", {"--login", "admin", "--password", "letmein", "command", "status"}).exitCode, 0);
    EXPECT_EQ(runClient(".", {"--login", "admin", "--password", "wrong", "command", "status"}).exitCode, 7);
    EXPECT_EQ(runClient(".", {"command", "status"}).exitCode, 7);
    // Updates stay anonymous.
    fs::create_directory("inst");
    EXPECT_EQ(update("inst").exitCode, 0);
}

TEST_F(ControlE2e, PasswordFromAFileOrTheEnvironmentAndAWarningForTheCommandLine)
{
    writeFile("content/x.txt", "x");
    writeFile("users.txt", "admin:letmein\n");
    writeFile("secret", "letmein\n");
    writeFile("wrong", "nope\n");
    startServer("content", {"--users", fs::absolute("users.txt").string()});
    const std::string file = fs::absolute("secret").string();
    ClientRun fromFile = runClient(".", {"--login", "admin", "--password-file", file, "command", "status"});
    EXPECT_EQ(fromFile.exitCode, 0) << fromFile.err;
    EXPECT_EQ(fromFile.err.find("process table"), std::string::npos);
    EXPECT_EQ(runClient(".", {"--login", "admin", "--password-file", fs::absolute("wrong").string(),
                              "--password", "letmein", "command", "status"})
                  .exitCode,
              7)
        << "the file wins over the command line";
    ASSERT_EQ(setenv("UPD_PASSWORD", "letmein", 1), 0);
    ClientRun fromEnvironment = runClient(".", {"--login", "admin", "command", "status"});
    unsetenv("UPD_PASSWORD");
    EXPECT_EQ(fromEnvironment.exitCode, 0) << fromEnvironment.err;
    ClientRun onCommandLine =
        runClient(".", {"--login", "admin", "--password", "letmein", "command", "status"});
    EXPECT_EQ(onCommandLine.exitCode, 0);
    EXPECT_NE(onCommandLine.err.find("process table"), std::string::npos) << "still works, with a warning";
}

TEST_F(ControlE2e, LargeUploadsGoToDiskWithoutGrowingTheServer)
{
    writeFile("content/x.txt", "x");
    writeFile("publish/x.txt", "x");
    startServer("content", {"--allow-anonymous-changes"});
    std::vector<std::string> upload = {"--dir", fs::absolute("publish").string(), "--list", "publish.lst",
                                       "upload"};
    ASSERT_EQ(runClient(".", upload).exitCode, 0);
    long before = peakKib(m_server);
    ASSERT_GT(before, 0);

    writeFile("publish/big.bin", pseudoRandom(40 << 20, 11));
    ClientRun run = runClient(".", upload);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readFile("content/big.bin"), readFile("publish/big.bin"));
    long after = peakKib(m_server);
    // Held in memory, the 40 MiB upload would add its packed and its unpacked form.
    EXPECT_LT(after - before, 16 * 1024) << "peak grew from " << before << " to " << after << " KiB";
}

TEST_F(ControlE2e, CommandsAndUploadsNeedALoginByDefault)
{
    writeFile("content/x.txt", "x");
    writeFile("publish/y.txt", "y");
    writeFile("users.txt", "admin:letmein\n");
    startServer("content");
    EXPECT_EQ(runClient(".", {"command", "suspend"}).exitCode, 7);
    std::vector<std::string> upload = {"--dir", fs::absolute("publish").string(), "--list", "publish.lst",
                                       "upload"};
    EXPECT_EQ(runClient(".", upload).exitCode, 7);
    EXPECT_EQ(readTree("content"), (Tree{{"x.txt", {"x", readTree("content").at("x.txt").time}}}));
    fs::create_directory("inst");
    EXPECT_EQ(update("inst").exitCode, 0) << "reading needs no login";

    // With accounts, the upload job logs in and mirrors the folder.
    killServer(SIGTERM);
    startServer("content", {"--users", fs::absolute("users.txt").string()});
    upload.insert(upload.begin(), {"--login", "admin", "--password", "letmein"});
    ClientRun run = runClient(".", upload);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readTree("content"), readTree("publish"));
}

TEST_F(ControlE2e, ServerLogGoesToItsFolderOrNowhere)
{
    auto logFiles = [](const fs::path& folder)
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder))
            if (e.path().extension() == ".log")
                names.push_back(e.path().filename().string());
        return names;
    };
    writeFile("content/x.txt", "x");
    startServer("content");
    killServer(SIGTERM);
    std::vector<std::string> logs = logFiles("serverlog");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(readFile(fs::path("serverlog") / logs[0]).find("Server stopped"), std::string::npos);
    EXPECT_TRUE(logFiles(".").empty());

    fs::remove(fs::path("serverlog") / logs[0]);
    startServer("content", {"--no-log", "--allow-anonymous-changes"});
    ClientRun quiet = runClient(".", {"--no-log", "command", "status"});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_TRUE(logFiles(".").empty());
    fs::create_directory("clientlog");
    ClientRun status = runClient(".", {"--log-dir", "clientlog", "command", "status"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    killServer(SIGTERM);
    EXPECT_TRUE(logFiles("serverlog").empty());
    EXPECT_TRUE(logFiles(".").empty());
    logs = logFiles("clientlog");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(readFile(fs::path("clientlog") / logs[0]).find("===== Logging started ====="),
              std::string::npos);
}
