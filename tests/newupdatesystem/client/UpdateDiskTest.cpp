// What an update may write: a list that does not fit on the disk is refused
// before anything is written, and the parts of interrupted downloads go once
// no run will continue them.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "ClientTestSupport.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/LogControl.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{

class UpdateDiskTest : public SandboxTest
{
protected:
    void SetUp() override { fs::create_directory("game"); }

    // One update of "game", with the console output caught.
    int update(FakeServer& server, std::string& log)
    {
        std::FILE* caught = std::tmpfile();
        logSetConsoleStream(caught);
        TestClient client(server.port(), "Files.lst");
        client.setUpdateJob("game", nullptr);
        int status = runToEnd(client);
        logSetConsoleStream(stdout);
        std::fflush(caught);
        std::rewind(caught);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, caught)) > 0)
            log.append(buffer, n);
        std::fclose(caught);
        return status;
    }
};

// A wide list naming a file of 32 TiB beside a small one.
Bytes hugeList()
{
    CFileList list;
    FileInfo huge;
    huge.flags = FI_CHECKSUM;
    huge.size = uint64_t(1) << 45;
    huge.time = 7;
    huge.checksum[0] = 1;
    list.updateFileInfo("huge.bin", huge);
    FileInfo small;
    small.flags = FI_CHECKSUM;
    small.time = 7;
    list.updateFileInfo("small.txt", small);
    list.buildBin();
    return list.image();
}

} // namespace

TEST_F(UpdateDiskTest, ListThatDoesNotFitIsRefusedBeforeAnythingIsWritten)
{
    // Parts an earlier try left only hold the space (the 1000 bytes kept
    // count as written).
    writeFile("game/huge.bin.partial.log", std::string(1000, 'p'));
    writeFile("game/huge.bin.resume.log", "record");
    writeFile("game/notes.log", "the user's");
    FakeServer server;
    server.serve("list", hugeList());
    server.serve("small.txt", std::string());
    std::string log;
    EXPECT_EQ(UPD_WRITE_ERROR, update(server, log));
    EXPECT_NE(log.find("Not enough disk space for the update: 34359738367 kb needed"), std::string::npos)
        << log;
    EXPECT_NE(log.find("kb available"), std::string::npos) << log;
    for (const std::string& name : server.requests())
        EXPECT_TRUE(name == "list" || name == "ignore" || name == "self_upd") << name;
    EXPECT_FALSE(fs::exists("game/small.txt"));
    EXPECT_FALSE(fs::exists("game/huge.bin.partial.log"));
    EXPECT_FALSE(fs::exists("game/huge.bin.resume.log"));
    EXPECT_EQ("the user's", readFile("game/notes.log"));
}

TEST_F(UpdateDiskTest, PartsGoWhenTheirFileLeavesTheListAndStayWhileItIsToBeTaken)
{
    const std::string big(5u << 20, 'b');
    writeFile("game/big.bin.partial.log", big.substr(0, 1000));
    writeFile("game/big.bin.resume.log", "record");
    writeFile("game/gone.bin.partial.log", "p");
    writeFile("game/gone.bin.resume.log", "r");
    writeFile("game/data/old.bin.resume.log", "r");
    writeFile("game/notes.log", "the user's");
    FakeServer server;
    server.publish({{"data/", "", 0}, {"big.bin", big, 5}, {"small.txt", "s", 6}});
    std::string log;
    ASSERT_EQ(UPD_OK, update(server, log)) << log;
    EXPECT_TRUE(fs::exists("game/big.bin.partial.log"));
    EXPECT_TRUE(fs::exists("game/big.bin.resume.log"));
    EXPECT_FALSE(fs::exists("game/gone.bin.partial.log"));
    EXPECT_FALSE(fs::exists("game/gone.bin.resume.log"));
    EXPECT_FALSE(fs::exists("game/data/old.bin.resume.log"));
    EXPECT_EQ("the user's", readFile("game/notes.log"));

    // Taken whole: the next run no longer continues it.
    FakeServer again;
    again.publish({{"data/", "", 0}, {"big.bin", big, 5}, {"small.txt", "s", 6}});
    ASSERT_EQ(UPD_OK, update(again, log)) << log;
    EXPECT_FALSE(fs::exists("game/big.bin.partial.log"));
    EXPECT_FALSE(fs::exists("game/big.bin.resume.log"));
    EXPECT_EQ(big, readFile("game/big.bin"));
}

// The launcher's own files come beside the installed ones: the same check,
// before the temporary folder is made.
TEST_F(UpdateDiskTest, SelfUpdateThatDoesNotFitIsRefusedBeforeItsFolderIsMade)
{
    FakeServer server;
    server.serve("self_upd", hugeList());
    TestClient client(server.port(), "Files.lst");
    client.setSelfUpdateJob("main");
    EXPECT_EQ(UPD_WRITE_ERROR, runToEnd(client));
    EXPECT_FALSE(fs::exists("dir0029"));
    for (const std::string& name : server.requests())
        EXPECT_EQ(name, "self_upd");
}
