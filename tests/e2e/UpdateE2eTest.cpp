// Installation updates and the self-update, from real updserver and updclient
// processes on loopback.
#include <sys/stat.h>
#include <sys/time.h>

#include "tests/e2e/E2eFixture.h"

namespace fs = std::filesystem;

namespace
{
void setTime(const fs::path& p, time_t t)
{
    struct timeval tv[2] = {{t, 0}, {t, 0}};
    utimes(p.c_str(), tv);
}

bool downloaded(const ClientRun& run, const std::string& name)
{
    return run.err.find("Downloading file: " + name + "\n") != std::string::npos;
}
} // namespace

class UpdateE2e : public E2eTest
{
protected:
    void makeContent(const fs::path& root)
    {
        writeFile(root / "Readme.TXT", "hello players\n");
        writeFile(root / "Data/Big.bin", pseudoRandom(300000, 1));
        std::string text;
        while (text.size() < 100000)
            text += "a compressible line of text\n";
        writeFile(root / "Data/Text/Notes.txt", text);
        writeFile(root / "Data/empty.dat", "");
        writeFile(root / "a/b/c/deep.txt", "deep");
        fs::create_directories(root / "EmptyFolder");
        setTime(root / "Readme.TXT", 1000000000);
    }
};

TEST_F(UpdateE2e, FreshInstallMatchesTheContentAndSecondRunFetchesNothing)
{
    makeContent("content");
    startServer("content");
    fs::create_directory("inst");

    ClientRun first = update("inst");
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(readTree("inst"), readTree("content")) << "bytes, names (lower case) and times";

    ClientRun second = update("inst");
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_FALSE(downloaded(second, "list")) << "the cached list is reused";
    for (const char* name :
         {"readme.txt", "data/big.bin", "data/text/notes.txt", "data/empty.dat", "a/b/c/deep.txt"})
        EXPECT_FALSE(downloaded(second, name)) << name;
    EXPECT_EQ(readTree("inst"), readTree("content"));
}

TEST_F(UpdateE2e, IncrementalChangesKeepIgnoredAndDropExcludedItems)
{
    makeContent("content");
    writeFile("content/user.cfg", "server default");
    writeFile("ignore.txt", "; player files\nuser.cfg\nsaves/\n");
    startServer("content", {"--ignore", fs::absolute("ignore.txt").string(), "--allow-anonymous-changes"});
    fs::create_directory("inst");
    ASSERT_EQ(update("inst").exitCode, 0);
    writeFile("inst/user.cfg", "my settings");
    writeFile("inst/saves/slot1.dat", "progress");

    // The operator changes the content, then tells the server.
    writeFile("content/Readme.TXT", "hello players, new season\n");
    writeFile("content/New/Added.txt", "added");
    fs::remove_all("content/a/b");
    fs::remove("content/EmptyFolder");
    ClientRun up = runClient(".", {"command", "up"});
    ASSERT_EQ(up.exitCode, 0) << up.err;

    ClientRun run = update("inst", {"--exclude", "data/text/"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(downloaded(run, "readme.txt"));
    EXPECT_FALSE(downloaded(run, "data/big.bin")) << "unchanged files stay";

    Tree expected = readTree("content");
    expected.erase("data/text/");
    expected.erase("data/text/notes.txt");
    expected.erase("user.cfg");
    Tree got = readTree("inst");
    EXPECT_EQ(readFile("inst/user.cfg"), "my settings");
    EXPECT_EQ(readFile("inst/saves/slot1.dat"), "progress");
    got.erase("user.cfg");
    got.erase("saves/");
    got.erase("saves/slot1.dat");
    EXPECT_EQ(got, expected);
}

TEST_F(UpdateE2e, SelfUpdateScriptReplacesTheFileAndRestarts)
{
    writeFile("content/game.dat", "game");
    writeFile("self/Tool.exe", "tool version 2");
    // Same size as the old one: only the time tells the local check it changed.
    setTime("self/Tool.exe", 1000000000);
    startServer("content", {"--self-update", fs::absolute("self").string()});
    writeFile("inst/tool.exe", "tool version 1");
    // The restart target is the running program's own name: a stub records
    // how it was started.
    writeFile("inst/updclient", "#!/bin/sh\necho \"$@\" > restarted.txt\n");
    fs::permissions("inst/updclient", fs::perms::owner_all);

    ClientRun run = runClient("inst", {"--list", "Files.lst", "--realm", "main", "selfupdate"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::string script = run.out.substr(0, run.out.find('\n'));
    ASSERT_FALSE(script.empty()) << run.err;
    ASSERT_TRUE(fs::exists(fs::path("inst") / script));
    fs::path tempDir = (fs::path("inst") / script).parent_path();

    ClientRun sh;
    pid_t pid = fork();
    if (pid == 0)
    {
        if (chdir("inst") != 0)
            _exit(127);
        execl("/bin/sh", "sh", script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    m_children.push_back(pid);
    ASSERT_TRUE(waitFor([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, std::chrono::seconds(30)));
    m_children.clear();

    EXPECT_EQ(readFile("inst/tool.exe"), "tool version 2");
    EXPECT_EQ(readFile("inst/restarted.txt"), "/auto_realm main\n");
    EXPECT_FALSE(fs::exists(tempDir)) << "the temporary folder is removed";

    ClientRun again = runClient("inst", {"--list", "Files.lst", "--realm", "main", "selfupdate"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.out, "") << "nothing left to replace";
}
