// The self-update: the comparison with "self_upd", the temporary folder, the
// script, and names the script must never trust.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "ClientTestSupport.h"
#include "newupdatesystem/client/SelfUpdateScript.h"
#include "platform/ExecutablePath.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{

class SelfUpdateTest : public SandboxTest
{
protected:
    int selfUpdate(FakeServer& server, const char* realm = "main")
    {
        TestClient client(server.port(), "Files.lst");
        client.setSelfUpdateJob(realm);
        int status = runToEnd(client);
        m_batch = client.getSelfUpdateBatch() ? client.getSelfUpdateBatch() : "";
        return status;
    }

    std::string exeName()
    {
        std::string exe;
        platform::executablePath(exe);
        return exe.substr(exe.rfind('/') + 1);
    }

    std::string m_batch;
};

} // namespace

TEST(SelfUpdateScript, TemporaryFolderCandidatesFollowTheRuntimeGenerator)
{
    CRuntimeRandom random(1);
    EXPECT_EQ("dir0029/", selfUpdateFolderName(random.next()));
    EXPECT_EQ("dir4823/", selfUpdateFolderName(random.next()));
    EXPECT_EQ("dir18be/", selfUpdateFolderName(random.next())); // 6334
}

TEST(SelfUpdateScript, NameChecks)
{
    for (const char* good : {"tovra.exe", "a b.dll", "it's.txt", "-x"})
        EXPECT_TRUE(isPlainFileName(good)) << good;
    for (const char* bad : {"", ".", "..", "a/b", "a\\b", "c:x", "a\nb"})
        EXPECT_FALSE(isPlainFileName(bad)) << bad;
    for (const char* good : {"a", "a/b.txt", "data/maps/", "a\\b"})
        EXPECT_TRUE(isSafeRelativePath(good)) << good;
    for (const char* bad : {"", "/etc/passwd", "..", "a/../b", "a//b", "./a", "a/..", "\\x"})
        EXPECT_FALSE(isSafeRelativePath(bad)) << bad;
    EXPECT_EQ("'it'\\''s'", shellQuote("it's"));
}

TEST_F(SelfUpdateTest, AllCurrentNeedsNothing)
{
    writeFile("tovra.bin", "v1");
    FakeServer server;
    server.serve("self_upd", makeFileList({{"tovra.bin", "v1", 5}}));
    EXPECT_EQ(UPD_SELF_UP_TO_DATE, selfUpdate(server));
    EXPECT_FALSE(fs::exists("dir0029"));
    EXPECT_EQ(std::vector<std::string>{"self_upd"}, server.requests());
    EXPECT_TRUE(m_batch.empty());
    EXPECT_TRUE(waitFor([&] { return server.sawQuit(); }));
}

TEST_F(SelfUpdateTest, ChangedAndMissingFilesGetTheScriptWhichReplacesThem)
{
    writeFile("tovra.bin", "v1");
    writeFile("same.dll", "same");
    FakeServer server;
    server.serve("self_upd",
                 makeFileList({{"tovra.bin", "v2", 5}, {"same.dll", "same", 6}, {"new's.dat", "new", 7}}));
    server.serve("tovra.bin", std::string("v2"));
    server.serve("new's.dat", std::string("new"));
    EXPECT_EQ(UPD_OK, selfUpdate(server, "main realm"));
    EXPECT_EQ("dir0029/TmpSelfupdate.sh", m_batch);
    EXPECT_EQ("v2", readFile("dir0029/tovra.bin"));
    EXPECT_EQ(5, fileTime("dir0029/tovra.bin"));

    std::string expected = selfUpdateScriptHead() + selfUpdateScriptFileBlock(0, "dir0029/", "new's.dat") +
                           selfUpdateScriptFileBlock(1, "dir0029/", "tovra.bin") +
                           selfUpdateScriptTail("dir0029/", exeName(), "main realm");
    EXPECT_EQ(expected, readFile(m_batch));
    EXPECT_EQ(std::string::npos, readFile(m_batch).find('\r'));

    // Run it with a stand-in launcher that records its arguments.
    writeFile(exeName(), "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > args.txt\n");
    fs::permissions(exeName(), fs::perms::owner_all);
    ASSERT_EQ(0, std::system(("sh " + m_batch + " 2>/dev/null").c_str()));
    EXPECT_EQ("v2", readFile("tovra.bin"));
    EXPECT_EQ("new", readFile("new's.dat"));
    EXPECT_EQ("[/auto_realm]\n[main realm]\n", readFile("args.txt"));
    EXPECT_FALSE(fs::exists("dir0029"));
}

TEST_F(SelfUpdateTest, ListedFolderDir0029IsSkipped)
{
    writeFile("dir0029/keep.txt", "x");
    FakeServer server;
    server.serve("self_upd", makeFileList({{"tovra.bin", "v2", 5}}));
    server.serve("tovra.bin", std::string("v2"));
    EXPECT_EQ(UPD_OK, selfUpdate(server));
    EXPECT_EQ("dir4823/TmpSelfupdate.sh", m_batch);
    EXPECT_EQ("v2", readFile("dir4823/tovra.bin"));
}

TEST_F(SelfUpdateTest, FoldersAndUnsafeNamesFailWith15BeforeAnyDownload)
{
    Bytes dotted = makeFileList({{"zz", "v", 5}});
    auto at = std::search(dotted.begin(), dotted.end(), std::begin("zz"), std::end("zz") - 1);
    std::copy_n("..", 2, at);
    for (const Bytes& list : {makeFileList({{"bin/", "", 0}, {"bin/tool.dll", "x", 5}}), dotted})
    {
        FakeServer server;
        server.serve("self_upd", list);
        EXPECT_EQ(UPD_INTERNAL_ERROR, selfUpdate(server));
        EXPECT_EQ(std::vector<std::string>{"self_upd"}, server.requests());
        EXPECT_FALSE(fs::exists("dir0029"));
        EXPECT_FALSE(server.sawQuit());
    }
}

namespace
{

// sh running the script with the given arguments; the child's id.
pid_t startScript(const std::string& script, const std::vector<std::string>& args)
{
    std::vector<std::string> all = {"/bin/sh", script};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0)
    {
        execv("/bin/sh", argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for the child up to the deadline; its exit code, or -1 when it was
// still running (it is then killed).
int finish(pid_t pid, std::chrono::milliseconds deadline)
{
    int status = 0;
    bool ended = waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, deadline);
    if (!ended)
    {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST_F(SelfUpdateTest, NamesTheScriptCouldNeverReplaceFailWith15)
{
    writeFile("data/inside.txt", "x");
    for (std::string name : {"data", "DIR0029", kSelfUpdateScriptName})
    {
        FakeServer server;
        server.serve("self_upd", makeFileList({{name, "v2", 5}}));
        server.serve(name, std::string("v2"));
        EXPECT_EQ(UPD_INTERNAL_ERROR, selfUpdate(server)) << name;
        EXPECT_EQ(std::vector<std::string>{"self_upd"}, server.requests()) << name;
        EXPECT_FALSE(fs::exists("dir0029")) << name;
        EXPECT_TRUE(m_batch.empty());
    }
}

TEST_F(SelfUpdateTest, ScriptWaitsForTheOldLauncherBeforeReplacingAndRestarting)
{
    writeFile("tovra.bin", "v1");
    FakeServer server;
    server.serve("self_upd", makeFileList({{"tovra.bin", "v2", 5}}));
    server.serve("tovra.bin", std::string("v2"));
    ASSERT_EQ(UPD_OK, selfUpdate(server));

    // The old launcher: a child that lives until its pipe closes.
    int pipeFds[2];
    ASSERT_EQ(0, pipe2(pipeFds, O_CLOEXEC)); // the script must not hold it open
    pid_t old = fork();
    if (old == 0)
    {
        close(pipeFds[1]);
        char c;
        while (read(pipeFds[0], &c, 1) > 0)
        {
        }
        _exit(0);
    }
    close(pipeFds[0]);
    // The stand-in launcher records whether the old one still runs (a zombie has ended).
    writeFile(exeName(),
              "#!/bin/sh\ns=$(sed -n 's/^.*) \\(.\\).*/\\1/p' /proc/" + std::to_string(old) +
                  "/stat 2>/dev/null)\n"
                  "if [ -n \"$s\" ] && [ \"$s\" != Z ]; then echo alive; else echo gone; fi > state.txt\n");
    fs::permissions(exeName(), fs::perms::owner_all);

    pid_t script = startScript(m_batch, {std::to_string(old)});
    // Nothing is touched while the old launcher runs.
    EXPECT_FALSE(waitFor([&] { return fs::exists("state.txt"); }, std::chrono::milliseconds(700)));
    EXPECT_EQ("v1", readFile("tovra.bin"));
    // Ended but not reaped until the script is done: it counts as ended.
    close(pipeFds[1]);
    EXPECT_EQ(0, finish(script, std::chrono::seconds(20)));
    waitpid(old, nullptr, 0);
    EXPECT_EQ("gone\n", readFile("state.txt"));
    EXPECT_EQ("v2", readFile("tovra.bin"));
    EXPECT_FALSE(fs::exists("dir0029"));
}

TEST_F(SelfUpdateTest, ScriptGivesUpOnAFileThatWillNotGo)
{
    // Written by hand: the client refuses such a name.
    writeFile("sub/inner.txt", "a folder where the script expects a file");
    writeFile("dir0029/sub", "new");
    std::string text = selfUpdateScriptHead() + selfUpdateScriptFileBlock(0, "dir0029/", "sub") +
                       selfUpdateScriptTail("dir0029/", "launcher.sh", "main");
    writeFile("dir0029/TmpSelfupdate.sh", text);
    writeFile("launcher.sh", "#!/bin/sh\necho started > started.txt\n");
    fs::permissions("launcher.sh", fs::perms::owner_all);

    EXPECT_EQ(1, finish(startScript("dir0029/TmpSelfupdate.sh", {}), std::chrono::seconds(30)));
    EXPECT_FALSE(fs::exists("started.txt"));
    EXPECT_EQ("a folder where the script expects a file", readFile("sub/inner.txt"));
}

TEST_F(SelfUpdateTest, NamesInAnotherCaseReplaceTheInstalledFile)
{
    // Installed in mixed case; listed in lower case, then in upper case (spliced:
    // the list builder writes lower case).
    Bytes upper = makeFileList({{"tovra.bin", "v3", 60}}); // a time the local check tells apart
    auto at = std::search(upper.begin(), upper.end(), std::begin("tovra.bin"), std::end("tovra.bin") - 1);
    ASSERT_NE(upper.end(), at);
    std::copy_n("TOVRA.BIN", 9, at);
    writeFile("Tovra.bin", "v1");
    writeFile(exeName(), "#!/bin/sh\n");
    fs::permissions(exeName(), fs::perms::owner_all);
    for (const auto& [list, content] :
         {std::pair<Bytes, std::string>{makeFileList({{"tovra.bin", "v2", 5}}), "v2"}, {upper, "v3"}})
    {
        FakeServer server;
        server.serve("self_upd", list);
        server.serve("tovra.bin", content);
        server.serve("TOVRA.BIN", content);
        ASSERT_EQ(UPD_OK, selfUpdate(server)) << content;
        ASSERT_EQ(0, finish(startScript(m_batch, {}), std::chrono::seconds(20)));
        EXPECT_EQ(content, readFile("Tovra.bin"));
        EXPECT_FALSE(fs::exists("tovra.bin"));
        EXPECT_FALSE(fs::exists("TOVRA.BIN"));

        FakeServer again;
        again.serve("self_upd", list);
        EXPECT_EQ(UPD_SELF_UP_TO_DATE, selfUpdate(again)) << content;
    }
}

// The scan lists no links: a dangling link named like the first temporary
// folder is passed over (and left alone), not taken for a free name.
TEST_F(SelfUpdateTest, LinkNamedLikeTheTemporaryFolderIsPassedOver)
{
    fs::create_symlink("elsewhere", "dir0029");
    FakeServer server;
    server.serve("self_upd", makeFileList({{"tovra.bin", "v2", 5}}));
    server.serve("tovra.bin", std::string("v2"));
    EXPECT_EQ(UPD_OK, selfUpdate(server));
    EXPECT_EQ("dir4823/TmpSelfupdate.sh", m_batch);
    EXPECT_TRUE(fs::is_symlink("dir0029"));
    EXPECT_FALSE(fs::exists("elsewhere"));
}

// A replaced file keeps its mode: the launcher restarts from its new version,
// a tool stays runnable, a data file does not become a program.
TEST_F(SelfUpdateTest, ReplacedFilesKeepTheirModeAndTheLauncherStaysAProgram)
{
    writeFile(exeName(), "old");
    fs::permissions(exeName(), fs::perms(0755));
    writeFile("tool.sh", "old");
    fs::permissions("tool.sh", fs::perms(0750));
    writeFile("data.txt", "old");
    fs::permissions("data.txt", fs::perms(0640));
    const std::string launcher = "#!/bin/sh\necho \"$@\" > ran.txt\n";
    FakeServer server;
    std::string lowerExe = exeName();
    for (char& c : lowerExe)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    server.serve("self_upd",
                 makeFileList({{lowerExe, launcher, 5}, {"tool.sh", "new", 6}, {"data.txt", "new", 7}}));
    server.serve(lowerExe, launcher);
    server.serve("tool.sh", std::string("new"));
    server.serve("data.txt", std::string("new"));
    ASSERT_EQ(UPD_OK, selfUpdate(server));
    ASSERT_EQ(0, std::system(("sh " + m_batch + " 2>/dev/null").c_str()));
    EXPECT_EQ("/auto_realm main\n", readFile("ran.txt"));
    EXPECT_EQ(fs::perms(0755), fs::status(exeName()).permissions() & fs::perms(0777));
    EXPECT_EQ(fs::perms(0750), fs::status("tool.sh").permissions() & fs::perms(0777));
    EXPECT_EQ(fs::perms(0640), fs::status("data.txt").permissions() & fs::perms(0777));
}
