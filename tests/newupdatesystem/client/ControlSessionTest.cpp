// The command job with its echoes, and the upload's order of requests.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "ClientTestSupport.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{
class ControlSessionTest : public SandboxTest
{
};
} // namespace

TEST_F(ControlSessionTest, CommandWithoutEcho)
{
    FakeServer server;
    TestClient client(server.port());
    client.setCommand("reload");
    EXPECT_EQ(UPD_OK, runToEnd(client));
    EXPECT_TRUE(client.isCommandDone());
    EXPECT_EQ(0, client.getEchoCount());
    EXPECT_EQ(TAG_CTRL, server.sessionKind());
    EXPECT_EQ(std::vector<std::string>{"reload"}, server.commands());
    EXPECT_TRUE(waitFor([&] { return server.sawQuit(); }));
    EXPECT_FALSE(fs::exists("Files.lst")); // a command scans nothing
}

TEST_F(ControlSessionTest, ThreeEchoesAreFoundIgnoringCase)
{
    FakeServer server;
    server.echoes = {"Players: 12", "Uptime 3d", "status OK"};
    TestClient client(server.port());
    client.setCommand("status");
    EXPECT_EQ(UPD_OK, runToEnd(client));
    ASSERT_EQ(3, client.getEchoCount());
    EXPECT_STREQ("Uptime 3d", client.getEcho(1));
    EXPECT_EQ(nullptr, client.getEcho(3));
    EXPECT_STREQ("status OK", client.findEcho("STATUS ok"));
    EXPECT_EQ(nullptr, client.findEcho("status"));
    EXPECT_STREQ("Uptime 3d", client.findEchoPrefix("upt"));
    EXPECT_STREQ("Players: 12", client.findEchoPrefix(""));
    EXPECT_TRUE(client.isCommandDone());
}

// A host may read echoes while the command runs: what it was handed stays
// readable, unchanged, while more lines arrive, until the next command.
TEST_F(ControlSessionTest, EchoesReadDuringTheCommandStayValidWhileMoreArrive)
{
    FakeServer server;
    for (int i = 0; i < 300; ++i)
        server.echoes.push_back("line " + std::to_string(i)); // short: kept inside the string object
    std::mutex m;
    std::condition_variable cv;
    bool taken = false;
    server.beforeEcho = [&](size_t n)
    {
        if (n != 1)
            return;
        std::unique_lock<std::mutex> hold(m);
        cv.wait_for(hold, std::chrono::seconds(10), [&] { return taken; });
    };
    TestClient client(server.port());
    client.setCommand("dump");
    client.start();
    ASSERT_TRUE(waitFor([&] { return client.getEchoCount() >= 1; }));
    const char* first = client.getEcho(0);
    const char* found = client.findEcho("LINE 0");
    const char* prefixed = client.findEchoPrefix("line 0");
    {
        std::lock_guard<std::mutex> hold(m);
        taken = true;
    }
    cv.notify_all();
    ASSERT_TRUE(waitFor([&] { return client.isCommandDone(); }));
    client.wait(-1.0);
    EXPECT_EQ(UPD_OK, client.getStatus());
    ASSERT_EQ(300, client.getEchoCount());
    EXPECT_EQ(first, client.getEcho(0)) << "the line did not move";
    EXPECT_STREQ("line 0", first);
    EXPECT_EQ(first, found);
    EXPECT_EQ(first, prefixed);
}

TEST_F(ControlSessionTest, TooManyEchoesEndWithStatus8)
{
    FakeServer server;
    for (int i = 0; i < 1025; ++i)
        server.echoes.push_back("line " + std::to_string(i));
    TestClient client(server.port());
    client.setCommand("dump");
    EXPECT_EQ(UPD_PROTO_ERROR, runToEnd(client));
    EXPECT_EQ(1024, client.getEchoCount());
    EXPECT_STREQ("line 1023", client.getEcho(1023));
    EXPECT_FALSE(client.isCommandDone());
}

TEST_F(ControlSessionTest, UploadSendsItsRequestsInOrder)
{
    writeFile("up/same.txt", "same", 100);
    writeFile("up/c.txt", "changed locally", 200);
    writeFile("up/x/f.txt", "new", 300);
    FakeServer server;
    server.publish({{"same.txt", "same", 100},
                    {"c.txt", "server's", 200},
                    {"gone.txt", "old", 50},
                    {"a/", "", 0},
                    {"a/b/", "", 0},
                    {"a/b/deep.txt", "d", 5}});
    TestClient client(server.port());
    client.setUploadJob("up");
    EXPECT_EQ(UPD_OK, runToEnd(client));
    EXPECT_EQ(TAG_FILE, server.sessionKind());
    EXPECT_EQ(std::vector<std::string>({"CmdM", "Delt a/b/deep.txt", "Delt gone.txt", "CrDr a/b", "CrDr a",
                                        "DlDr x", "Upld c.txt", "Upld x/f.txt"}),
              server.modifications());
    EXPECT_EQ(std::vector<std::string>({"suspend", "up"}), server.commands());
    auto uploads = server.uploads();
    EXPECT_EQ("changed locally", uploads["c.txt"]);
    EXPECT_EQ("new", uploads["x/f.txt"]);
}
