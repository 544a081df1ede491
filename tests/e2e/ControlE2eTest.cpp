// Control sessions: commands, mirroring a folder onto the server, logins.
#include "tests/e2e/E2eFixture.h"

namespace fs = std::filesystem;

class ControlE2e : public E2eTest
{
};

TEST_F(ControlE2e, CommandEchoesItsLines)
{
    writeFile("content/x.txt", "x");
    startServer("content");
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
    startServer("content");

    writeFile("publish/keep.txt", "new text, longer");
    writeFile("publish/same.txt", "same");
    writeFile("publish/maps/level1/map.bin", pseudoRandom(70000, 3));
    writeFile("publish/maps/empty.txt", "");
    ClientRun upload = runClient(".", {"--dir", fs::absolute("publish").string(), "--list", "publish.lst", "upload"});
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

TEST_F(ControlE2e, ServerLogGoesToItsFolderOrNowhere)
{
    auto logFiles = [](const fs::path& folder) {
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
    startServer("content", {"--no-log"});
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
    EXPECT_NE(readFile(fs::path("clientlog") / logs[0]).find("===== Logging started ====="), std::string::npos);
}
