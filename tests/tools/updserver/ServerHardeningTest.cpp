// The server among strangers: who may change things, hosts that hold
// connections open without speaking, password guessing, oversized and
// concurrent uploads, and links in the published folder. Each host is a
// different loopback address.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/FileList.h"
#include "support/Sandbox.h"
#include "tests/tools/updserver/RawClient.h"
#include "tools/updserver/AccessPolicy.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace
{
std::string packed(const std::string& plain)
{
    CDataFile p;
    p.packFrom(plain.data(), static_cast<uint32_t>(plain.size()));
    return std::string(reinterpret_cast<const char*>(p.data()), p.size());
}

std::string unpack(const std::string& bytes)
{
    CDataFile plain;
    plain.unpackFrom(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(plain.data()), plain.size());
}

std::string readAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string noise(size_t size, uint32_t seed)
{
    std::string s(size, '\0');
    for (char& c : s)
    {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 24);
    }
    return s;
}

std::vector<uint8_t> init(uint32_t kind)
{
    return RawClient::words({PACKET_SIGNATURE, TAG_INIT, kind, PROTOCOL_VERSION});
}
} // namespace

class ServerHardeningTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        fs::create_directories("content/Maps");
        std::ofstream("content/Maps/Town.dat") << "town data";
        std::ofstream("secret.txt") << "not for clients";
        std::ofstream("users.txt") << "admin:pw\n";
        m_options.root = fs::absolute("content");
        m_options.port = 0;
        m_options.maxClients = 8;
        m_options.ioTimeoutSeconds = 10;
    }
    void TearDown() override
    {
        m_stop = true;
        if (m_runner.joinable())
            m_runner.join();
    }
    void startServer()
    {
        m_server = std::make_unique<CUpdServer>(m_options);
        m_server->start();
        m_runner = std::thread([this] { m_server->run(m_stop); });
    }
    uint16_t port() const { return m_server->port(); }

    ServerOptions m_options;
    std::unique_ptr<CUpdServer> m_server;
    std::atomic<bool> m_stop{false};
    std::thread m_runner;
};

TEST_F(ServerHardeningTest, ChangesAndCommandsNeedALoginUnlessAnonymousChangesAreAllowed)
{
    startServer(); // no users, no anonymous changes
    {
        RawClient c(port());
        ASSERT_TRUE(c.open(TAG_FILE));
        c.send(RawClient::words({0, TAG_CMDM}));
        EXPECT_EQ(c.recv(), TAG_ACSS) << "modification mode in an anonymous file session";
    }
    {
        RawClient c(port());
        ASSERT_TRUE(c.open(TAG_FILE));
        EXPECT_EQ(c.login("anyone", "anything"), TAG_ACKN) << "a login without accounts still reads";
        c.send(RawClient::words({0, TAG_CMDM}));
        EXPECT_EQ(c.recv(), TAG_ACSS) << "but gives no right to change";
    }
    {
        RawClient c(port());
        ASSERT_TRUE(c.open(TAG_FILE));
        c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_MDFY, TAG_DELT, 0}),
                                   "maps/town.dat"));
        EXPECT_EQ(c.recv(), TAG_ACSS);
    }
    {
        RawClient c(port());
        ASSERT_TRUE(c.open(TAG_CTRL));
        EXPECT_EQ(c.command("suspend"), TAG_ACSS) << "a command in an anonymous control session";
    }
    EXPECT_FALSE(m_server->suspended());
    EXPECT_TRUE(fs::exists("content/Maps/Town.dat"));
    RawClient reader(port());
    ASSERT_TRUE(reader.open(TAG_FILE)) << "reading stays open to all";
    std::string bytes;
    reader.send(RawClient::get(SUBTAG_NRMP, "maps/town.dat"));
    ASSERT_TRUE(reader.receiveFile(bytes));
    EXPECT_EQ(unpack(bytes), "town data");

    // With accounts, an upload job's way: a file session, a login, then
    // modification mode and the commands around the changes.
    m_stop = true;
    m_runner.join();
    m_stop = false;
    m_options.usersFile = fs::absolute("users.txt");
    startServer();
    RawClient c(port());
    ASSERT_TRUE(c.open(TAG_FILE));
    ASSERT_EQ(c.login("admin", "pw"), TAG_ACKN);
    c.send(RawClient::words({0, TAG_CMDM}));
    ASSERT_EQ(c.recv(), TAG_ACKN);
    EXPECT_EQ(c.command("suspend"), TAG_ECHO);
    EXPECT_TRUE(m_server->suspended());
    EXPECT_EQ(c.command("up"), TAG_ECHO);

    // Who is warned about what when strangers can reach the server.
    EXPECT_TRUE(CAccessPolicy::isLoopback("127.0.0.1"));
    EXPECT_TRUE(CAccessPolicy::isLoopback("127.3.2.1"));
    EXPECT_FALSE(CAccessPolicy::isLoopback("0.0.0.0"));
    EXPECT_FALSE(CAccessPolicy::isLoopback("10.127.0.1"));
    CAccessPolicy closed(false, CAccessPolicy::CHANGES_NEED_LOGIN);
    CAccessPolicy withUsers(true, CAccessPolicy::CHANGES_NEED_LOGIN);
    CAccessPolicy open(true, CAccessPolicy::ANONYMOUS_CHANGES_ALLOWED);
    EXPECT_NE(closed.exposureWarning("0.0.0.0"), "");
    EXPECT_EQ(closed.exposureWarning("127.0.0.1"), "");
    EXPECT_EQ(withUsers.exposureWarning("0.0.0.0"), "");
    EXPECT_NE(open.exposureWarning("192.168.1.2").find("anyone"), std::string::npos);
}

TEST_F(ServerHardeningTest, IdleAndTricklingHostsCannotShutOutOtherClients)
{
    m_options.maxClients = 4;
    m_options.maxPerAddress = 2;
    m_options.handshakeTimeoutSeconds = 2;
    startServer();

    // One host opens connections and says nothing: it gets two slots, and
    // "Busy" at once for the rest instead of a connection closed later.
    RawClient idle1(port(), "127.0.0.2"), idle2(port(), "127.0.0.2");
    ASSERT_TRUE(idle1.connected && idle2.connected);
    ASSERT_TRUE(waitFor([&] { return m_server->addresses().sessions("127.0.0.2") == 2; }));
    RawClient idle3(port(), "127.0.0.2");
    EXPECT_EQ(idle3.recv(), TAG_BUSY) << "over the address's limit, without sending anything";

    // Another trickles bytes of a frame that never ends.
    RawClient trickler(port(), "127.0.0.3");
    trickler.sendRaw({0x01});
    ASSERT_TRUE(waitFor([&] { return m_server->addresses().sessions("127.0.0.3") == 1; }));

    // A real client is still served meanwhile.
    {
        RawClient c(port(), "127.0.0.1");
        ASSERT_TRUE(c.open(TAG_FILE));
        std::string bytes;
        c.send(RawClient::get(SUBTAG_SPCP, "list"));
        EXPECT_TRUE(c.receiveFile(bytes));
        // The server is full now: the next host hears "Busy", not a reset.
        RawClient extra(port(), "127.0.0.4");
        extra.send(init(TAG_FILE));
        EXPECT_EQ(extra.recv(), TAG_BUSY);
    }

    // None of them gets past the handshake deadline, however it trickles.
    EXPECT_TRUE(trickler.closedByServer(10s, 0x41));
    EXPECT_TRUE(idle1.closedByServer(10s));
    EXPECT_TRUE(idle2.closedByServer(10s));
    ASSERT_TRUE(waitFor([&] { return m_server->addresses().sessions("127.0.0.2") == 0; }));
    RawClient again(port(), "127.0.0.2");
    EXPECT_TRUE(again.open(TAG_FILE)) << "the slots are free again";
}

TEST_F(ServerHardeningTest, PasswordGuessesFromOneAddressAreHeldBack)
{
    m_options.usersFile = fs::absolute("users.txt");
    m_options.loginTries = 2;
    startServer();
    for (int i = 0; i < 2; ++i)
    {
        RawClient guess(port(), "127.0.0.2");
        ASSERT_TRUE(guess.open(TAG_CTRL));
        EXPECT_EQ(guess.login("admin", ("guess" + std::to_string(i)).c_str()), TAG_RJTD);
        EXPECT_TRUE(guess.closedByServer(10s));
    }
    {
        RawClient guess(port(), "127.0.0.2");
        ASSERT_TRUE(guess.open(TAG_CTRL));
        EXPECT_EQ(guess.login("admin", "pw"), TAG_RJTD) << "even the right password waits out the back-off";
    }
    {
        RawClient guess(port(), "127.0.0.2");
        ASSERT_TRUE(guess.open(TAG_CTRL));
        EXPECT_EQ(guess.login("nobody", "pw"), TAG_RJTD);
    }
    RawClient other(port(), "127.0.0.3");
    ASSERT_TRUE(other.open(TAG_CTRL));
    EXPECT_EQ(other.login("admin", "pw"), TAG_ACKN) << "another address is not held back";
    EXPECT_EQ(other.command("status"), TAG_ECHO);
}

TEST_F(ServerHardeningTest, UploadsAreCappedAndConcurrentOnesKeepTheirOwnBytes)
{
    m_options.allowAnonymousChanges = true;
    m_options.maxUploadBytes = 1 << 20;
    startServer();
    auto modifying = [&](RawClient& c)
    {
        ASSERT_TRUE(c.open(TAG_FILE));
        c.send(RawClient::words({0, TAG_CMDM}));
        ASSERT_EQ(c.recv(), TAG_ACKN);
    };
    RawClient a(port());
    modifying(a);
    // Zeros that pack small and unpack beyond the limit: read, refused, nothing stored.
    EXPECT_EQ(a.upload("maps/town.dat", packed(std::string(8 << 20, '\0'))), TAG_REPT);
    EXPECT_EQ(readAll("content/Maps/Town.dat"), "town data");
    std::string unpackable = packed("short");
    unpackable[unpackable.size() - 1] ^= 0x7F;
    EXPECT_EQ(a.upload("maps/town.dat", unpackable), TAG_REPT) << "a broken stream";
    EXPECT_EQ(a.upload("../secret.txt", packed("x")), TAG_REPT) << "outside the root, data read and dropped";
    EXPECT_EQ(readAll("secret.txt"), "not for clients");
    EXPECT_EQ(a.upload("maps/town.dat", packed("within limits")), TAG_ACKN) << "the session goes on";
    EXPECT_EQ(readAll("content/Maps/Town.dat"), "within limits");

    // Two uploads to one path, their chunks interleaved: each "Ackn" answers
    // exactly what the file then holds.
    RawClient b(port());
    modifying(b);
    std::string first = noise(60000, 1), second = noise(50000, 2);
    std::string pa = packed(first), pb = packed(second);
    a.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_MDFY, TAG_UPLD, 1000000000}),
                               "maps/new.bin"));
    b.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_MDFY, TAG_UPLD, 1000000000}),
                               "maps/new.bin"));
    ASSERT_TRUE(a.sendChunks(pa, 0, CHUNK_MAX_SIZE));
    ASSERT_TRUE(b.sendChunks(pb, 0, CHUNK_MAX_SIZE));
    ASSERT_TRUE(a.sendChunks(pa, CHUNK_MAX_SIZE, pa.size()));
    ASSERT_EQ(a.finishUpload(), TAG_ACKN);
    EXPECT_EQ(readAll("content/Maps/new.bin"), first);
    ASSERT_TRUE(b.sendChunks(pb, CHUNK_MAX_SIZE, pb.size()));
    ASSERT_EQ(b.finishUpload(), TAG_ACKN);
    EXPECT_EQ(readAll("content/Maps/new.bin"), second);
    size_t files = 0;
    for (auto& e : fs::directory_iterator("content/Maps"))
    {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 2u) << "no temporary file is left behind";
}

TEST_F(ServerHardeningTest, LinkedFilesAreServedWhenInsideTheRootAndNeverListedOtherwise)
{
    fs::create_symlink("Maps/Town.dat", "content/link.dat");
    fs::create_symlink(fs::absolute("content/Maps/Town.dat"), "content/Maps/absolute.dat");
    fs::create_symlink("../secret.txt", "content/outside.txt");
    fs::create_symlink(fs::absolute("secret.txt"), "content/Maps/outside2.txt");
    std::ofstream("content/Maps/.upload-town.dat.0123-1.tmp") << "half an upload";
    startServer();

    RawClient c(port());
    ASSERT_TRUE(c.open(TAG_FILE));
    std::string bytes;
    c.send(RawClient::get(SUBTAG_SPCP, "list"));
    ASSERT_TRUE(c.receiveFile(bytes));
    std::string image = unpack(bytes);
    CFileList list;
    list.createFromBin(image.data(), static_cast<uint32_t>(image.size()));
    EXPECT_EQ(list.fileCount, 3u);
    EXPECT_EQ(list.findEntry("outside.txt"), nullptr);
    EXPECT_EQ(list.findEntry("maps/outside2.txt"), nullptr);
    EXPECT_EQ(list.findEntry("maps/.upload-town.dat.0123-1.tmp"), nullptr);

    // Everything listed can be fetched: a client's update never fails on it.
    for (const char* name : {"link.dat", "maps/absolute.dat", "maps/town.dat"})
    {
        ASSERT_NE(list.findEntry(name), nullptr) << name;
        c.send(RawClient::get(SUBTAG_NRMP, name));
        ASSERT_TRUE(c.receiveFile(bytes)) << name;
        EXPECT_EQ(unpack(bytes), "town data") << name;
    }
    for (const char* name : {"outside.txt", "maps/outside2.txt"})
    {
        c.send(RawClient::get(SUBTAG_NRMP, name));
        EXPECT_EQ(c.recv(), TAG_ACSS) << name;
    }
}
