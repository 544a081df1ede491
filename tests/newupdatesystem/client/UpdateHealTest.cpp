// Updates that must heal the installation: wrong bytes from the server,
// write-protected files, a folder the update may not remove, links that lead
// out of the installation, names in another letter case, and a full disk.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ClientTestSupport.h"
#include "newupdatesystem/Common/LogControl.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{

class UpdateHealTest : public SandboxTest
{
protected:
    void SetUp() override { fs::create_directory("game"); }

    int update(FakeServer& server)
    {
        TestClient client(server.port(), "Files.lst");
        client.setUpdateJob("game", nullptr);
        return runToEnd(client);
    }

    // The update with the console output caught.
    int update(FakeServer& server, std::string& log)
    {
        std::FILE* caught = std::tmpfile();
        logSetConsoleStream(caught);
        int status = update(server);
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

    std::vector<std::string> fileRequests(const FakeServer& server)
    {
        std::vector<std::string> out;
        for (const auto& name : server.requests())
            if (name != "list" && name != "ignore" && name != "self_upd")
                out.push_back(name);
        return out;
    }

    // Nothing half-written is left under a temporary name.
    static bool noTemporaryFiles(const fs::path& folder)
    {
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.path().filename().string().rfind("~upd", 0) == 0)
                return false;
        return true;
    }

    const std::vector<ServedItem> m_base = {
        {"readme.txt", "hello", 1100000000},
        {"data/", "", 0},
        {"data/maps/", "", 0},
        {"data/maps/a.bin", std::string(40000, 'x') + "end", 1200000000},
        {"data/empty.dat", "", 1300000000},
    };
};

} // namespace

TEST_F(UpdateHealTest, WrongBytesNeverReplaceAFileAndAreFetchedAgain)
{
    FakeServer first;
    first.publish(m_base);
    ASSERT_EQ(UPD_OK, update(first));

    auto changed = m_base;
    changed[0].content = "hello, world";
    changed[3].content = "new map";
    changed.push_back({"new.txt", "brand new", 5});
    // Wrong size; right size but wrong bytes; a new file with wrong bytes.
    for (const auto& [path, served] : std::vector<std::pair<std::string, std::string>>{
             {"readme.txt", "short"}, {"data/maps/a.bin", "old map"}, {"new.txt", "not new"}})
    {
        FakeServer server;
        server.publish(changed);
        server.serve(path, served);
        std::string log;
        EXPECT_EQ(UPD_DATA_CORRUPTED, update(server, log)) << path;
        EXPECT_NE(std::string::npos, log.find("'" + path + "'")) << log;
        EXPECT_TRUE(noTemporaryFiles("game"));
        // Everything else arrived; the bad file kept its old state.
        if (path == "readme.txt")
            EXPECT_EQ("hello", readFile("game/readme.txt"));
        else
            EXPECT_EQ("hello, world", readFile("game/readme.txt"));
        if (path == "new.txt")
            EXPECT_FALSE(fs::exists("game/new.txt"));
        else
            EXPECT_EQ("brand new", readFile("game/new.txt"));

        // The next run with good bytes repairs it, and then nothing is left to do.
        FakeServer good;
        good.publish(changed);
        EXPECT_EQ(UPD_OK, update(good)) << path;
        EXPECT_EQ(std::vector<std::string>{path}, fileRequests(good));
        FakeServer again;
        again.publish(changed);
        EXPECT_EQ(UPD_OK, update(again));
        EXPECT_TRUE(fileRequests(again).empty());

        // Back to the old state for the next case.
        FakeServer reset;
        reset.publish(m_base);
        ASSERT_EQ(UPD_OK, update(reset));
    }
}

TEST_F(UpdateHealTest, FileMarkedNotToCompareIsTakenAsItComes)
{
    // The flags word of a record sits 8 bytes before its name.
    Bytes list = makeFileList({{"user.cfg", "default", 5}});
    const std::string name = "user.cfg";
    auto at = std::search(list.begin(), list.end(), name.begin(), name.end());
    ASSERT_NE(list.end(), at);
    *(at - 8) |= uint8_t(FI_NOCOMPARE);
    FakeServer server;
    server.serve("list", list);
    server.serve("user.cfg", std::string("edited by the producer"));
    EXPECT_EQ(UPD_OK, update(server));
    EXPECT_EQ("edited by the producer", readFile("game/user.cfg"));
}

TEST_F(UpdateHealTest, WriteProtectedFileIsReplacedAndKeepsItsPermissions)
{
    FakeServer first;
    first.publish(m_base);
    ASSERT_EQ(UPD_OK, update(first));
    fs::permissions("game/readme.txt", fs::perms::owner_read | fs::perms::group_read);
    fs::permissions("game/data/maps/a.bin", fs::perms::owner_all);

    auto changed = m_base;
    changed[0].content = "hello, world";
    changed[3].content = "new map";
    FakeServer server;
    server.publish(changed);
    EXPECT_EQ(UPD_OK, update(server));
    EXPECT_EQ("hello, world", readFile("game/readme.txt"));
    EXPECT_EQ(1100000000, fileTime("game/readme.txt"));
    auto perms = fs::status("game/readme.txt").permissions();
    EXPECT_NE(fs::perms::none, perms & fs::perms::owner_write);
    EXPECT_NE(fs::perms::none, perms & fs::perms::group_read);
    // An executable stays executable.
    EXPECT_NE(fs::perms::none, fs::status("game/data/maps/a.bin").permissions() & fs::perms::owner_exec);
}

TEST_F(UpdateHealTest, FolderHoldingUnlistedFilesBlocksOnlyItself)
{
    FakeServer first;
    first.publish(m_base);
    ASSERT_EQ(UPD_OK, update(first));
    // The server now has a file where the installation has a folder; the
    // folder holds a file that the ignore list keeps out of the lists.
    fs::remove("game/readme.txt");
    writeFile("game/readme.txt/inner.txt", "listed");
    writeFile("game/readme.txt/keep.me", "the user's");
    auto changed = m_base;
    changed[3].content = "new map";

    for (int run = 0; run < 2; ++run)
    {
        FakeServer server;
        server.publish(changed);
        server.serve("ignore", std::string("readme.txt/keep.me\r\n"));
        std::string log;
        EXPECT_EQ(UPD_MODIFY_ERROR, update(server, log));
        EXPECT_NE(std::string::npos, log.find("Could not update 'readme.txt'")) << log;
        EXPECT_EQ("the user's", readFile("game/readme.txt/keep.me"));
        // The other repairs went ahead.
        EXPECT_EQ("new map", readFile("game/data/maps/a.bin"));
    }

    fs::remove("game/readme.txt/keep.me");
    FakeServer server;
    server.publish(changed);
    EXPECT_EQ(UPD_OK, update(server));
    EXPECT_EQ("hello", readFile("game/readme.txt"));
    EXPECT_EQ(std::vector<std::string>{"readme.txt"}, fileRequests(server));
}

TEST_F(UpdateHealTest, LinksInTheInstallationAreReplacedNeverWrittenThrough)
{
    writeFile("outside.txt", "secret");
    writeFile("protected.txt", "keep me read-only");
    fs::permissions("protected.txt", fs::perms::owner_read);
    fs::create_directory("elsewhere");
    fs::create_symlink(fs::absolute("outside.txt"), "game/readme.txt");
    fs::create_directory_symlink(fs::absolute("elsewhere"), "game/data");
    fs::create_symlink(fs::absolute("protected.txt"), "game/local-only.txt");

    FakeServer server;
    server.publish(m_base);
    EXPECT_EQ(UPD_OK, update(server));

    EXPECT_EQ("secret", readFile("outside.txt"));
    EXPECT_TRUE(fs::is_empty("elsewhere"));
    EXPECT_EQ(fs::perms::owner_read, fs::status("protected.txt").permissions());
    EXPECT_FALSE(fs::is_symlink("game/readme.txt"));
    EXPECT_EQ("hello", readFile("game/readme.txt"));
    EXPECT_FALSE(fs::is_symlink("game/data"));
    EXPECT_EQ(std::string(40000, 'x') + "end", readFile("game/data/maps/a.bin"));
    EXPECT_FALSE(fs::exists(fs::symlink_status("game/local-only.txt")));
}

TEST_F(UpdateHealTest, UpperCaseServerNamesLeaveTheInstallationStable)
{
    // The list is spliced: the list builder itself writes lower case.
    Bytes list = makeFileList(m_base);
    for (auto [from, to] : {std::pair<std::string, std::string>{"readme.txt", "ReadMe.TXT"},
                            {"maps", "Maps"},
                            {"a.bin", "A.bin"}})
    {
        auto at = std::search(list.begin(), list.end(), from.begin(), from.end());
        ASSERT_NE(list.end(), at);
        std::copy(to.begin(), to.end(), at);
    }
    for (int run = 0; run < 4; ++run)
    {
        FakeServer server;
        server.publish(m_base);
        server.serve("list", list);
        server.serve("ReadMe.TXT", std::string("hello"));
        server.serve("data/Maps/A.bin", std::string(40000, 'x') + "end");
        EXPECT_EQ(UPD_OK, update(server)) << run;
        EXPECT_EQ("hello", readFile("game/readme.txt")) << run;
        EXPECT_EQ(std::string(40000, 'x') + "end", readFile("game/data/maps/a.bin")) << run;
        if (run > 0)
        {
            EXPECT_TRUE(fileRequests(server).empty()) << run;
        }
    }
}

// A small file system of its own for the installation, so that it can run
// full. Needs root (CI runs as root).
class DiskFullTest : public UpdateHealTest
{
protected:
    void SetUp() override
    {
        UpdateHealTest::SetUp();
        if (geteuid() != 0)
        {
            GTEST_SKIP() << "mounting a file system needs root";
        }
        if (mount("tmpfs", "game", "tmpfs", 0, "size=128k") != 0)
        {
            GTEST_SKIP() << "cannot mount a tmpfs";
        }
        m_mounted = fs::absolute("game").string();
    }
    void TearDown() override
    {
        if (!m_mounted.empty())
            umount2(m_mounted.c_str(), MNT_DETACH);
    }
    std::string m_mounted;
};

TEST_F(DiskFullTest, FullDiskKeepsTheOldFileAndTheNextRunRepairs)
{
    FakeServer first;
    first.publish(m_base);
    ASSERT_EQ(UPD_OK, update(first));

    // The new map does not fit. The list is held against the free space
    // before anything is written, so the small file before it, which fits,
    // waits for the next run too (it used to be written first).
    auto changed = m_base;
    changed[3].content = std::string(300000, 'y');
    changed[4].content = "now with data";
    FakeServer full;
    full.publish(changed);
    std::string log;
    EXPECT_EQ(UPD_WRITE_ERROR, update(full, log));
    EXPECT_NE(log.find("Not enough disk space for the update"), std::string::npos) << log;
    EXPECT_EQ(std::string(40000, 'x') + "end", readFile("game/data/maps/a.bin"));
    EXPECT_EQ("", readFile("game/data/empty.dat"));
    EXPECT_TRUE(noTemporaryFiles("game"));

    ASSERT_EQ(0, mount("tmpfs", "game", "tmpfs", MS_REMOUNT, "size=4m"));
    FakeServer repair;
    repair.publish(changed);
    EXPECT_EQ(UPD_OK, update(repair));
    EXPECT_EQ(std::vector<std::string>({"data/empty.dat", "data/maps/a.bin"}), fileRequests(repair));
    EXPECT_EQ(std::string(300000, 'y'), readFile("game/data/maps/a.bin"));
    FakeServer again;
    again.publish(changed);
    EXPECT_EQ(UPD_OK, update(again));
    EXPECT_TRUE(fileRequests(again).empty());
}

TEST_F(DiskFullTest, JobInfoTellsAFullDiskFromAReadOnlyOne)
{
    FakeServer first;
    first.publish(m_base);
    ASSERT_EQ(UPD_OK, update(first));

    // Short of space: the room needed and free, the folder, and nothing begun.
    auto changed = m_base;
    changed[3].content = std::string(300000, 'y');
    FakeServer full;
    full.publish(changed);
    {
        TestClient client(full.port(), "Files.lst");
        client.setUpdateJob("game", nullptr);
        EXPECT_EQ(UPD_WRITE_ERROR, runToEnd(client));
        UpdJobInfo info{};
        ASSERT_TRUE(client.getJobInfo(&info));
        EXPECT_EQ(info.failure, UPD_FAILURE_NO_SPACE);
        EXPECT_GE(info.spaceNeeded, 300000u - 40003u);
        EXPECT_LT(info.spaceFree, info.spaceNeeded);
        EXPECT_STREQ(info.path, "game");
        EXPECT_EQ(info.bytesTotal, 0u);
    }

    // A read-only disk with room: the file that could not be written is named.
    ASSERT_EQ(0, mount("tmpfs", "game", "tmpfs", MS_REMOUNT | MS_RDONLY, "size=4m"));
    FakeServer readOnly;
    readOnly.publish(changed);
    TestClient client(readOnly.port(), "Files.lst");
    client.setUpdateJob("game", nullptr);
    EXPECT_NE(UPD_OK, runToEnd(client));
    UpdJobInfo info{};
    ASSERT_TRUE(client.getJobInfo(&info));
    EXPECT_EQ(info.failure, UPD_FAILURE_READ_ONLY) << info.path;
    EXPECT_NE(std::string(info.path).find("game"), std::string::npos) << info.path;
    EXPECT_EQ(info.spaceNeeded, 0u);
}

TEST_F(UpdateHealTest, PartsOfARunThatRanOutOfRoomAreRemoved)
{
    // Kept for a resume otherwise; on a full disk they only hold the room.
    struct Client : TestClient
    {
        using CUpdateClient::removePartsOf;
        using TestClient::TestClient;
    } client(1);
    client.setUpdateJob("game", nullptr);
    fs::create_directories("game/data");
    for (const char* name : {"game/data/big.bin.partial.log", "game/data/big.bin.resume.log",
                             "game/data/other.bin.partial.log", "game/data/big.bin"})
        std::ofstream(name) << "x";
    ChangeList items;
    FileChange big;
    std::strcpy(big.path, "data/big.bin");
    items.fileItems.push_back(big);
    client.removePartsOf(items);
    EXPECT_FALSE(fs::exists("game/data/big.bin.partial.log"));
    EXPECT_FALSE(fs::exists("game/data/big.bin.resume.log"));
    EXPECT_TRUE(fs::exists("game/data/other.bin.partial.log"));
    EXPECT_TRUE(fs::exists("game/data/big.bin"));
}
