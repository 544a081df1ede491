// The server's answers to hostile and unusual clients, spoken at packet level
// against a server running in this process on a loopback port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/FrameCodec.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "support/Sandbox.h"
#include "tests/tools/updserver/RawClient.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;

namespace
{
std::string unpack(const std::string& packed)
{
    CDataFile plain;
    plain.unpackFrom(packed.data(), static_cast<uint32_t>(packed.size()));
    return std::string(reinterpret_cast<const char*>(plain.data()), plain.size());
}
} // namespace

class ServerSessionTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        fs::create_directories("content/Maps");
        std::ofstream("content/Maps/Town.dat") << "town data";
        std::ofstream("secret.txt") << "not for clients";
        std::ofstream("users.txt") << "admin:pw\n";
    }
    void TearDown() override
    {
        m_stop = true;
        if (m_runner.joinable())
            m_runner.join();
    }
    void startServer(unsigned maxClients = 8, bool withUsers = false, bool anonymousChanges = false,
                     unsigned ioTimeout = 10)
    {
        ServerOptions o;
        o.root = fs::absolute("content");
        o.port = 0;
        o.maxClients = maxClients;
        o.ioTimeoutSeconds = ioTimeout;
        if (withUsers)
            o.usersFile = fs::absolute("users.txt");
        o.allowAnonymousChanges = anonymousChanges;
        m_server = std::make_unique<CUpdServer>(o);
        m_server->start();
        m_runner = std::thread([this] { m_server->run(m_stop); });
    }

    std::unique_ptr<CUpdServer> m_server;
    std::atomic<bool> m_stop{false};
    std::thread m_runner;
};

TEST_F(ServerSessionTest, ServesListAndFilesButNothingOutsideTheRoot)
{
    startServer();
    RawClient c(m_server->port());
    ASSERT_TRUE(c.open(TAG_FILE));

    std::string packed;
    c.send(RawClient::get(SUBTAG_SPCP, "list"));
    ASSERT_TRUE(c.receiveFile(packed));
    std::string image = unpack(packed);
    CFileList list;
    list.createFromBin(image.data(), static_cast<uint32_t>(image.size()));
    EXPECT_EQ(list.fileCount, 1u);
    EXPECT_NE(list.findEntry("maps/town.dat"), nullptr);

    c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_GETS}), "list"));
    ASSERT_EQ(c.recv(), TAG_FSUM);
    uint8_t md5[16];
    CMd5::digest(image.data(), image.size(), md5);
    EXPECT_EQ(std::memcmp(c.packet() + 8, md5, 16), 0);

    c.send(RawClient::get(SUBTAG_NRMP, "maps\\town.dat"));
    ASSERT_TRUE(c.receiveFile(packed));
    EXPECT_EQ(unpack(packed), "town data");

    for (const char* bad : {"../secret.txt", "/etc/passwd", "maps/../../secret.txt", "missing.txt", "maps"})
    {
        c.send(RawClient::get(SUBTAG_NRMP, bad));
        EXPECT_EQ(c.recv(), TAG_ACSS) << bad;
    }
    c.send(RawClient::get(SUBTAG_SPCP, "nolist"));
    EXPECT_EQ(c.recv(), TAG_ACSS);
    // The session is still usable after the refusals.
    c.send(RawClient::get(SUBTAG_NRMP, "maps/town.dat"));
    EXPECT_TRUE(c.receiveFile(packed));
}

// The base answer carries the file packed whole, byte for byte, whether the
// server packs it in one piece or block by block as it reads.
TEST_F(ServerSessionTest, BaseAnswersCarryTheFilePackedWhole)
{
    std::string mixed(3u << 20, '\0');
    uint32_t x = 9;
    for (size_t i = 0; i < mixed.size(); ++i)
        mixed[i] = (i >> 18) % 2 ? char((x = x * 1103515245u + 12345u) >> 24) : "realm map\n"[i % 10];
    std::ofstream("content/mixed.bin", std::ios::binary) << mixed;
    std::ofstream("content/empty.bin", std::ios::binary);
    startServer();
    RawClient c(m_server->port());
    ASSERT_TRUE(c.open(TAG_FILE));
    for (const std::string& text : {mixed, std::string(), std::string("town data")})
    {
        CDataFile whole;
        whole.packFrom(text.data(), static_cast<uint32_t>(text.size()));
        const char* name = text.empty() ? "empty.bin" : text.size() < 100 ? "maps/town.dat" : "mixed.bin";
        c.send(RawClient::get(SUBTAG_NRMP, name));
        std::string packed;
        ASSERT_TRUE(c.receiveFile(packed)) << name;
        EXPECT_TRUE(packed == std::string(reinterpret_cast<const char*>(whole.data()), whole.size())) << name;
    }
}

TEST_F(ServerSessionTest, ChangesNeedModificationModeAndStayInsideTheRoot)
{
    startServer(8, false, true);
    {
        RawClient c(m_server->port());
        ASSERT_TRUE(c.open(TAG_FILE));
        c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_MDFY, TAG_DELT, 0}),
                                   "maps/town.dat"));
        EXPECT_EQ(c.recv(), TAG_ACSS);
    }
    EXPECT_TRUE(fs::exists("content/Maps/Town.dat"));

    RawClient c(m_server->port());
    ASSERT_TRUE(c.open(TAG_FILE));
    c.send(RawClient::words({0, TAG_CMDM}));
    ASSERT_EQ(c.recv(), TAG_ACKN);
    c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_MDFY, TAG_DELT, 0}), "../secret.txt"));
    EXPECT_EQ(c.recv(), TAG_REPT);
    c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_MDFY, TAG_CRDR, 0}), ".."));
    EXPECT_EQ(c.recv(), TAG_REPT);
    EXPECT_TRUE(fs::exists("secret.txt"));
    // "DlDr" creates, "CrDr" removes.
    c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_MDFY, TAG_DLDR, 0}), "new/inner"));
    EXPECT_EQ(c.recv(), TAG_ACKN);
    EXPECT_TRUE(fs::is_directory("content/new/inner"));
    c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_MDFY, TAG_CRDR, 0}), "new"));
    EXPECT_EQ(c.recv(), TAG_ACKN);
    EXPECT_FALSE(fs::exists("content/new"));

    // An upload with one damaged chunk: "Rept", then the good chunk, then stored.
    CDataFile packed;
    packed.packFrom("uploaded", 8);
    c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_MDFY, TAG_UPLD, 1000000000}),
                               "maps/town.dat"));
    auto chunk = RawClient::words({PACKET_SIGNATURE, TAG_DATA, SUBTAG_NRMP, packed.size(), 0,
                                   calcCrc32(packed.data(), packed.size(), 0) ^ 1});
    chunk.insert(chunk.end(), packed.data(), packed.data() + packed.size());
    c.send(chunk);
    EXPECT_EQ(c.recv(), TAG_REPT);
    const auto good = DataChunkHeader{PACKET_SIGNATURE, TAG_DATA, SUBTAG_NRMP,
                                      packed.size(),    0,        calcCrc32(packed.data(), packed.size(), 0)}
                          .encode();
    std::copy(good.begin(), good.end(), chunk.begin());
    c.send(chunk);
    EXPECT_EQ(c.recv(), TAG_ACKN);
    c.send(RawClient::words({0, TAG_ENDF}));
    EXPECT_EQ(c.recv(), TAG_ACKN);
    std::ifstream in("content/Maps/Town.dat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "uploaded");
    struct stat st;
    ASSERT_EQ(::stat("content/Maps/Town.dat", &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000) << "the uploaded file takes the time sent with it";
}

TEST_F(ServerSessionTest, LoginIsCheckedWhenUsersAreGiven)
{
    startServer(8, true);
    {
        RawClient c(m_server->port());
        ASSERT_TRUE(c.open(TAG_CTRL));
        c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_CMND}), "status"));
        EXPECT_EQ(c.recv(), TAG_ACSS) << "a command without login";
    }
    auto auth = [](RawClient& c, const char* name, const char* password)
    {
        auto p = RawClient::words({PACKET_SIGNATURE, TAG_AUTH, 0, 0, 0, 0, 0, 0, 0, 0});
        std::memcpy(p.data() + 8, name, std::strlen(name));
        CMd5 md5;
        md5.update(c.challenge, 8);
        md5.update(password, std::strlen(password));
        md5.final(p.data() + 24);
        c.send(p);
        return c.recv();
    };
    {
        RawClient c(m_server->port());
        ASSERT_TRUE(c.open(TAG_CTRL));
        EXPECT_EQ(auth(c, "admin", "wrong"), TAG_RJTD);
    }
    RawClient c(m_server->port());
    ASSERT_TRUE(c.open(TAG_CTRL));
    ASSERT_EQ(auth(c, "admin", "pw"), TAG_ACKN);
    c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_CMND}), "help"));
    int lines = 0;
    while (c.recv() == TAG_ECHO && c.length() > 9)
        ++lines;
    EXPECT_GT(lines, 3);
    EXPECT_EQ(c.length(), 9u) << "the output ends with an empty echo";
}

TEST_F(ServerSessionTest, BrokenFramesAndExtraClientsHarmNoOne)
{
    startServer(1);
    RawClient first(m_server->port());
    // A bad escape, then a proper opening: the broken frame is skipped.
    first.sendRaw({0xC5, 0x41, 0x42, 0xC1});
    ASSERT_TRUE(first.open(TAG_FILE));

    RawClient second(m_server->port());
    second.send(RawClient::words({PACKET_SIGNATURE, TAG_INIT, TAG_FILE, PROTOCOL_VERSION}));
    EXPECT_EQ(second.recv(), TAG_BUSY);

    RawClient wrongVersion(m_server->port());
    wrongVersion.send(RawClient::words({PACKET_SIGNATURE, TAG_INIT, TAG_FILE, 0x00010004}));
    EXPECT_EQ(wrongVersion.recv(), TAG_BUSY) << "still over the limit";

    std::string packed;
    first.send(RawClient::get(SUBTAG_SPCP, "ignore"));
    ASSERT_TRUE(first.receiveFile(packed));
    EXPECT_EQ(unpack(packed), "");
}

TEST_F(ServerSessionTest, SuspendTurnsAwayNewFileSessionsUntilUp)
{
    startServer(8, false, true);
    RawClient ctrl(m_server->port());
    ASSERT_TRUE(ctrl.open(TAG_CTRL));
    ctrl.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_CMND}), "suspend"));
    while (ctrl.recv() == TAG_ECHO && ctrl.length() > 9)
    {
    }
    {
        RawClient c(m_server->port());
        c.send(RawClient::words({PACKET_SIGNATURE, TAG_INIT, TAG_FILE, PROTOCOL_VERSION}));
        EXPECT_EQ(c.recv(), TAG_BUSY);
    }
    std::ofstream("content/added.txt") << "new";
    ctrl.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_CMND}), "up"));
    while (ctrl.recv() == TAG_ECHO && ctrl.length() > 9)
    {
    }
    RawClient c(m_server->port());
    ASSERT_TRUE(c.open(TAG_FILE));
    c.send(RawClient::get(SUBTAG_NRMP, "added.txt"));
    std::string packed;
    ASSERT_TRUE(c.receiveFile(packed));
    EXPECT_EQ(unpack(packed), "new");
}

// Bytes that never make a packet, one at a time or as broken frames, do not
// keep a session open past the I/O time-out.
TEST_F(ServerSessionTest, BytesThatNeverMakeAPacketDoNotKeepASessionOpen)
{
    startServer(8, false, false, 1);
    for (bool broken : {false, true})
    {
        RawClient c(m_server->port());
        ASSERT_TRUE(c.open(TAG_FILE));
        auto start = std::chrono::steady_clock::now();
        std::atomic<bool> closed{false};
        std::thread drip(
            [&]
            {
                // Paces the trickle; ends by itself so a server that never closes
                // fails the time check below instead of hanging.
                while (!closed && std::chrono::steady_clock::now() - start < std::chrono::seconds(8))
                {
                    c.sendRaw(broken ? std::vector<uint8_t>{0xC5, 0x41, 0xC1} : std::vector<uint8_t>{0x41});
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            });
        EXPECT_EQ(c.recv(), 0u) << "the server closes the session";
        closed = true;
        drip.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4))
            << (broken ? "broken" : "trickle");
    }
}
