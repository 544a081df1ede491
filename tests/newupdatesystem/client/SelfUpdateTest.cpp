// The self-update: the comparison with "self_upd", the temporary folder, the
// script, and names the script must never trust.
#include <gtest/gtest.h>

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
        batch = client.getSelfUpdateBatch() ? client.getSelfUpdateBatch() : "";
        return status;
    }

    std::string exeName()
    {
        std::string exe;
        executablePath(exe);
        return exe.substr(exe.rfind('/') + 1);
    }

    std::string batch;
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
    EXPECT_TRUE(batch.empty());
    EXPECT_TRUE(waitFor([&] { return server.sawQuit(); }));
}

TEST_F(SelfUpdateTest, ChangedAndMissingFilesGetTheScriptWhichReplacesThem)
{
    writeFile("tovra.bin", "v1");
    writeFile("same.dll", "same");
    FakeServer server;
    server.serve("self_upd", makeFileList({{"tovra.bin", "v2", 5}, {"same.dll", "same", 6},
                                           {"new's.dat", "new", 7}}));
    server.serve("tovra.bin", std::string("v2"));
    server.serve("new's.dat", std::string("new"));
    EXPECT_EQ(UPD_OK, selfUpdate(server, "main realm"));
    EXPECT_EQ("dir0029/TmpSelfupdate.sh", batch);
    EXPECT_EQ("v2", readFile("dir0029/tovra.bin"));
    EXPECT_EQ(5, fileTime("dir0029/tovra.bin"));

    std::string expected = selfUpdateScriptHead() +
                           selfUpdateScriptFileBlock(0, "dir0029/", "new's.dat") +
                           selfUpdateScriptFileBlock(1, "dir0029/", "tovra.bin") +
                           selfUpdateScriptTail("dir0029/", exeName(), "main realm");
    EXPECT_EQ(expected, readFile(batch));
    EXPECT_EQ(std::string::npos, readFile(batch).find('\r'));

    // Run it with a stand-in launcher that records its arguments.
    writeFile(exeName(), "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > args.txt\n");
    fs::permissions(exeName(), fs::perms::owner_all);
    ASSERT_EQ(0, std::system(("sh " + batch + " 2>/dev/null").c_str()));
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
    EXPECT_EQ("dir4823/TmpSelfupdate.sh", batch);
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
