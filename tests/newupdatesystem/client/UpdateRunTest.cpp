// The update job against a scripted server: downloads, the cached list,
// incremental changes, deletions, ignore patterns, exclusions, broken frames,
// conflicts and paths that would leave the folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "ClientTestSupport.h"
#include "newupdatesystem/Common/StreamProto.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{

Bytes fileBytes(const std::string& path)
{
    std::string s = readFile(path);
    return Bytes(s.begin(), s.end());
}

class UpdateRunTest : public SandboxTest
{
protected:
    void SetUp() override { fs::create_directory("game"); }

    // One update of "game" with the list file in the current folder.
    int update(FakeServer& server, const char* cache = nullptr, const char* exclusions = nullptr,
               RecordingCallback* events = nullptr, int checkMode = CHECK_NORMAL)
    {
        TestClient client(server.port(), "Files.lst");
        client.setCheckMode(checkMode);
        if (events)
            client.setCallback(events);
        client.setUpdateJob("game", cache);
        if (exclusions)
            client.addExclusions(exclusions);
        return runToEnd(client);
    }

    std::vector<std::string> fileRequests(const FakeServer& server)
    {
        std::vector<std::string> out;
        for (const auto& name : server.requests())
            if (name != "list" && name != "ignore" && name != "self_upd")
                out.push_back(name);
        return out;
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

TEST_F(UpdateRunTest, FullUpdateFromAnEmptyFolder)
{
    FakeServer server;
    server.publish(m_base);
    RecordingCallback events;
    EXPECT_EQ(UPD_OK, update(server, "SvCache.lst", nullptr, &events));

    EXPECT_EQ("hello", readFile("game/readme.txt"));
    EXPECT_EQ(std::string(40000, 'x') + "end", readFile("game/data/maps/a.bin"));
    EXPECT_TRUE(fs::is_regular_file("game/data/empty.dat"));
    EXPECT_EQ(1100000000, fileTime("game/readme.txt"));
    EXPECT_EQ(1200000000, fileTime("game/data/maps/a.bin"));
    EXPECT_EQ(std::vector<std::string>(
                  {"list", "ignore", "self_upd", "data/empty.dat", "data/maps/a.bin", "readme.txt"}),
              server.requests());
    EXPECT_TRUE(waitFor([&] { return server.sawQuit(); }));

    // The saved list describes the installation; the cache holds the server's list.
    CFileList saved;
    saved.createFromFile("Files.lst");
    EXPECT_EQ(3u, saved.fileCount);
    EXPECT_EQ(2u, saved.folderCount);
    EXPECT_EQ(1200000000, saved.getFileInfo("data/maps/a.bin", false).time);
    EXPECT_EQ(makeFileList(m_base), fileBytes("SvCache.lst"));

    auto codes = events.codes();
    std::vector<int> expected = {UPD_EVENT_SCANNING, UPD_EVENT_CONNECTING};
    EXPECT_EQ(expected, std::vector<int>(codes.begin(), codes.begin() + 2));
    EXPECT_EQ(UPD_EVENT_SAVING_LIST, codes.back());
    float last = -1;
    for (const auto& e : events.events())
        if (e.event == UPD_EVENT_PROGRESS)
            last = e.value;
    EXPECT_FLOAT_EQ(1.0f, last);
}

TEST_F(UpdateRunTest, NothingDiffersAndTheCachedListIsReused)
{
    FakeServer first;
    first.publish(m_base);
    ASSERT_EQ(UPD_OK, update(first, "SvCache.lst"));

    FakeServer second;
    second.publish(m_base);
    EXPECT_EQ(UPD_OK, update(second, "SvCache.lst"));
    EXPECT_EQ(std::vector<std::string>{"list"}, second.checksumRequests());
    EXPECT_EQ(std::vector<std::string>({"ignore", "self_upd"}), second.requests());
}

TEST_F(UpdateRunTest, StaleOrMissingCacheDownloadsTheList)
{
    writeFile("SvCache.lst", "not the list");
    FakeServer server;
    server.publish(m_base);
    EXPECT_EQ(UPD_OK, update(server, "SvCache.lst"));
    EXPECT_EQ("list", server.requests().at(0));
    EXPECT_EQ(makeFileList(m_base), fileBytes("SvCache.lst"));
}

TEST_F(UpdateRunTest, IncrementalChangeAndDeletion)
{
    FakeServer first;
    first.publish(m_base);
    ASSERT_EQ(UPD_OK, update(first));
    writeFile("game/local-only.txt", "mine");
    writeFile("game/data/old/x.txt", "old");

    auto changed = m_base;
    changed[0].content = "hello, world";
    FakeServer second;
    second.publish(changed);
    EXPECT_EQ(UPD_OK, update(second));
    EXPECT_EQ(std::vector<std::string>{"readme.txt"}, fileRequests(second));
    EXPECT_EQ("hello, world", readFile("game/readme.txt"));
    EXPECT_FALSE(fs::exists("game/local-only.txt"));
    EXPECT_FALSE(fs::exists("game/data/old"));
    EXPECT_TRUE(fs::exists("Files.lst")); // never deleted, though not on the server
}

TEST_F(UpdateRunTest, TimeCountsOnlyWhenCheckingByTime)
{
    FakeServer first;
    first.publish(m_base);
    ASSERT_EQ(UPD_OK, update(first));

    auto later = m_base;
    later[0].time += 10;
    for (int mode : {int(CHECK_NORMAL), int(CHECK_FULL), 7})
    {
        FakeServer server;
        server.publish(later);
        EXPECT_EQ(UPD_OK, update(server, nullptr, nullptr, nullptr, mode));
        EXPECT_TRUE(fileRequests(server).empty()) << "mode " << mode;
    }
    FakeServer byTime;
    byTime.publish(later);
    EXPECT_EQ(UPD_OK, update(byTime, nullptr, nullptr, nullptr, CHECK_BY_TIME));
    EXPECT_EQ(std::vector<std::string>{"readme.txt"}, fileRequests(byTime));
    EXPECT_EQ(later[0].time, fileTime("game/readme.txt"));
}

TEST_F(UpdateRunTest, IgnoredFilesAreNeitherDownloadedNorDeleted)
{
    writeFile("game/user.cfg", "mine");
    FakeServer server;
    auto items = m_base;
    items.push_back({"user.cfg", "server's", 5});
    server.publish(items);
    server.serve("ignore", std::string("; comment\r\nuser.cfg\r\n"));
    EXPECT_EQ(UPD_OK, update(server));
    EXPECT_EQ("mine", readFile("game/user.cfg"));
    for (const auto& name : server.requests())
        EXPECT_NE("user.cfg", name);
    CFileList saved;
    saved.createFromFile("Files.lst");
    EXPECT_EQ(nullptr, saved.findEntry("user.cfg"));
}

TEST_F(UpdateRunTest, ExcludedFolderIsEmptiedAndNotDownloaded)
{
    writeFile("game/data/maps/local.bin", "x");
    FakeServer server;
    server.publish(m_base);
    EXPECT_EQ(UPD_OK, update(server, nullptr, "Data/Maps/\n"));
    EXPECT_FALSE(fs::exists("game/data/maps"));
    EXPECT_EQ("hello", readFile("game/readme.txt"));
    for (const auto& name : server.requests())
        EXPECT_NE("data/maps/a.bin", name);
}

TEST_F(UpdateRunTest, BrokenFrameDuringAFileRunsTheJobAgain)
{
    FakeServer server;
    server.publish(m_base);
    server.breakRequests["data/maps/a.bin"] = 1;
    EXPECT_EQ(UPD_OK, update(server));
    EXPECT_EQ(std::string(40000, 'x') + "end", readFile("game/data/maps/a.bin"));
    auto requests = server.requests();
    EXPECT_EQ(2, std::count(requests.begin(), requests.end(), "list"));
}

TEST_F(UpdateRunTest, ServerThatKeepsBreakingFramesIsGivenUpOn)
{
    FakeServer server;
    server.publish(m_base);
    server.breakRequests["readme.txt"] = 1000;
    EXPECT_EQ(UPD_PROTO_ERROR, update(server));
    auto requests = server.requests();
    EXPECT_EQ(static_cast<long>(CUpdateClient::kMaxJobRuns),
              std::count(requests.begin(), requests.end(), "readme.txt"));
}

TEST_F(UpdateRunTest, ConflictingLocalItemsAreReplaced)
{
    writeFile("game/data", "a file where the server has a folder");
    writeFile("game/readme.txt/inner.txt", "a folder where the server has a file");
    FakeServer server;
    server.publish(m_base);
    EXPECT_EQ(UPD_OK, update(server));
    EXPECT_EQ("hello", readFile("game/readme.txt"));
    EXPECT_TRUE(fs::is_directory("game/data/maps"));
    EXPECT_EQ(std::string(40000, 'x') + "end", readFile("game/data/maps/a.bin"));
}

TEST_F(UpdateRunTest, ServerPathsNeverLeaveTheFolder)
{
    for (const char* name : {"..", "../escape.txt", "a/../../escape.txt"})
    {
        // The list format cannot express separators inside one name through
        // updateFileInfo, so the bad name is spliced into the binary image.
        std::string marker = "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzz";
        Bytes list = makeFileList({{marker.substr(0, strlen(name)), "evil", 7}});
        auto at = std::search(list.begin(), list.end(), marker.begin(), marker.begin() + strlen(name));
        ASSERT_NE(list.end(), at);
        std::copy(name, name + strlen(name), at);

        FakeServer server;
        server.serve("list", list);
        server.serve(name, std::string("evil"));
        // Refused whole, before anything is written.
        EXPECT_EQ(UPD_INTERNAL_ERROR, update(server)) << name;
        EXPECT_FALSE(fs::exists("escape.txt"));
        EXPECT_TRUE(fileRequests(server).empty());
    }
}

TEST_F(UpdateRunTest, PathsTooLongForAChangeListAreRefused)
{
    // Five folders of 100 characters and a file: the joined path passes 511
    // characters and would be cut off into the path of a folder.
    std::vector<ServedItem> deep;
    std::string path;
    for (char c : {'a', 'b', 'c', 'd', 'e'})
    {
        path += std::string(100, c) + "/";
        deep.push_back({path, "", 0});
    }
    deep.push_back({path + "file.txt", "x", 5});
    FakeServer server;
    server.publish(deep);
    EXPECT_EQ(UPD_PROTO_ERROR, update(server));
    EXPECT_TRUE(fileRequests(server).empty());
    EXPECT_FALSE(fs::exists("game/" + std::string(100, 'a')));
}

// Names Windows cannot hold (device names, trailing dots and spaces) are
// refused from a server on every system; a local file of such a name that the
// server does not list is deleted like any other.
TEST_F(UpdateRunTest, NamesWindowsCannotHoldAreRefusedFromTheServer)
{
    for (const char* name :
         {"aux", "trail.txt.", "data/con.cfg", "Nul.tar.gz", "com7", "lpt9.x", "data/x /", "data/prn /"})
    {
        FakeServer server;
        server.publish({{"data/", "", 0}, {name, std::string(name).back() == '/' ? "" : "evil", 7}});
        EXPECT_EQ(UPD_PROTO_ERROR, update(server)) << name;
        EXPECT_TRUE(fileRequests(server).empty()) << name;
        EXPECT_TRUE(fs::is_empty("game")) << name;
    }
    // Near misses are ordinary names.
    FakeServer server;
    server.publish({{"auxiliary.txt", "a", 7}, {"com10", "b", 7}, {"lpt0", "c", 7}, {".config", "d", 7}});
#if !defined(_WIN32)
    writeFile("game/aux", "local");
#endif
    EXPECT_EQ(UPD_OK, update(server));
    EXPECT_EQ("a", readFile("game/auxiliary.txt"));
    EXPECT_EQ("d", readFile("game/.config"));
    EXPECT_FALSE(fs::exists("game/aux"));
}

TEST_F(UpdateRunTest, DamagedListEndsWith15)
{
    FakeServer server;
    server.serve("list", std::string("garbage, not a list"));
    EXPECT_EQ(UPD_INTERNAL_ERROR, update(server));
}

TEST_F(UpdateRunTest, StreamingIsAskedForOnlyWhereOfferedAndNeverWhenSwitchedOff)
{
    for (bool offered : {false, true})
    {
        SCOPED_TRACE(offered ? "offered, switched off" : "not offered");
        FakeServer server;
        server.publish(m_base);
        if (offered)
            server.serverVersion |= SERVER_OFFERS_STREAM;
        TestClient client(server.port(), "Files.lst");
        client.setUpdateJob("game", nullptr);
        if (offered)
            client.setStreaming(false);
        EXPECT_EQ(UPD_OK, runToEnd(client));
        EXPECT_EQ(std::vector<std::string>(
                      {"list", "ignore", "self_upd", "data/empty.dat", "data/maps/a.bin", "readme.txt"}),
                  server.requests());
        EXPECT_TRUE(waitFor([&] { return server.sawQuit(); }));
        size_t packets = 0;
        while (auto packet = server.scripted().nextPacket(std::chrono::milliseconds(0)))
        {
            ++packets;
            uint32_t tag = peerWord(*packet, 4);
            EXPECT_TRUE(tag == TAG_INIT || tag == TAG_GET || tag == TAG_ACKN || tag == TAG_QUIT)
                << std::hex << tag;
        }
        EXPECT_GE(packets, 8u);
        fs::remove_all("game");
        fs::create_directory("game");
        fs::remove("Files.lst");
    }
}

// Where the extension is offered, the client asks for it and for the lists in
// one go: every request is out before the server answers "Strm". A kept copy
// of "list" is checked by "GetS" instead of being fetched.
TEST_F(UpdateRunTest, StreamedListsAreAskedForTogetherWithTheExtension)
{
    for (bool kept : {false, true})
    {
        SCOPED_TRACE(kept ? "list kept" : "no list kept");
        if (kept)
            std::ofstream("list.cache") << "kept";
        std::mutex lock;
        std::vector<std::string> seen;
        ScriptedPeer peer; // after what its handler uses
        peer.onPacket(
            [&](const Bytes& p, ScriptedPeer& self)
            {
                uint32_t tag = peerWord(p, 4);
                if (tag == TAG_INIT)
                {
                    Bytes body = peerPacket(PROTOCOL_VERSION | SERVER_OFFERS_STREAM, TAG_ACPT);
                    self.sendPacket(0, TAG_INIT, body);
                    self.sendPacket(0, TAG_PSWK, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
                    return;
                }
                auto text = [&](size_t at)
                { return at < p.size() ? std::string(reinterpret_cast<const char*>(p.data() + at)) : ""; };
                std::string what(reinterpret_cast<const char*>(p.data() + 4), 4);
                if (tag == TAG_SLST)
                    what += " " + text(SGET_HEAD_SIZE);
                else if (tag == TAG_GETS)
                    what += " " + text(8);
                std::lock_guard<std::mutex> hold(lock);
                seen.push_back(what);
                if (seen.size() == 4)
                    self.sendMsg(TAG_QUIT);
            });
        TestClient client(peer.port(), "Files.lst", 1.0);
        client.setUpdateJob("game", kept ? "list.cache" : nullptr);
        runToEnd(client);
        std::lock_guard<std::mutex> hold(lock);
        EXPECT_EQ(seen, std::vector<std::string>(
                            {"Strm", kept ? "GetS list" : "SLst list", "SLst ignore", "SLst self_upd"}));
    }
}
