// The server's packed files: prepacking in the background while clients are
// served, the packed files kept on disk across a restart, and where that
// folder may lie. A real server on a loopback port, spoken to at packet level.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "newupdatesystem/Common/DataFile.h"
#include "support/Sandbox.h"
#include "tests/tools/updserver/RawClient.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;

namespace
{
std::string unpack(const std::string& bytes)
{
    CDataFile plain;
    plain.unpackFrom(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(plain.data()), plain.size());
}

// Holds the packing of one file until opened; gives up after ten seconds so
// that a broken test cannot hang.
class Gate
{
public:
    void pass()
    {
        std::unique_lock<std::mutex> hold(m_lock);
        m_arrived = true;
        m_changed.notify_all();
        m_changed.wait_for(hold, std::chrono::seconds(10), [this] { return m_isOpen; });
    }
    void open()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_isOpen = true;
        m_changed.notify_all();
    }
    bool waitArrived()
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, std::chrono::seconds(10), [this] { return m_arrived; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_arrived = false;
    bool m_isOpen = false;
};
} // namespace

class PackPersistenceTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        fs::create_directories("content/Maps");
        std::ofstream("content/Maps/Town.dat") << "town data";
        std::ofstream("content/Held.dat") << std::string(3000, 'h');
        std::ofstream("content/Other.dat") << std::string(2000, 'o');
    }
    void TearDown() override { stopServer(); }

    ServerOptions options(bool prepack)
    {
        ServerOptions o;
        o.root = fs::absolute("content");
        o.port = 0;
        o.ioTimeoutSeconds = 10;
        o.prepack = prepack;
        o.packThreads = 2;
        o.packWaitSeconds = 10;
        o.cacheDir = fs::absolute("packs");
        return o;
    }
    void startServer(const ServerOptions& o, std::function<void(const fs::path&)> hook = nullptr)
    {
        m_server = std::make_unique<CUpdServer>(o);
        if (hook)
            m_server->cache().setPackHook(hook);
        m_server->start();
        m_stop = false;
        m_runner = std::thread([this] { m_server->run(m_stop); });
    }
    void stopServer()
    {
        m_gate.open();
        m_stop = true;
        if (m_runner.joinable())
            m_runner.join();
        m_server.reset();
    }
    std::string fetch(const char* name)
    {
        RawClient c(m_server->port());
        std::string bytes;
        if (!c.open(TAG_FILE))
            return "(not opened)";
        c.send(RawClient::get(SUBTAG_NRMP, name));
        return c.receiveFile(bytes) ? unpack(bytes) : "(refused)";
    }

    Gate m_gate;
    std::unique_ptr<CUpdServer> m_server;
    std::atomic<bool> m_stop{false};
    std::thread m_runner;
};

TEST_F(PackPersistenceTest, ClientsAreServedWhilePrepackingAndARestartPacksNothing)
{
    startServer(options(true),
                [this](const fs::path& file)
                {
                    if (file.filename() == "Held.dat")
                        m_gate.pass();
                });
    ASSERT_TRUE(m_gate.waitArrived());
    EXPECT_EQ(fetch("maps/town.dat"), "town data");
    EXPECT_GE(m_server->cache().stats().pending, 1u) << "the prepacking is still held";
    m_gate.open();
    ASSERT_TRUE(m_server->cache().waitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(m_server->cache().stats().packs, 3u);
    EXPECT_EQ(m_server->cache().stats().diskEntries, 3u);
    stopServer();

    startServer(options(false));
    EXPECT_EQ(fetch("held.dat"), std::string(3000, 'h'));
    EXPECT_EQ(fetch("other.dat"), std::string(2000, 'o'));
    EXPECT_EQ(fetch("maps/town.dat"), "town data");
    CPackCache::Stats s = m_server->cache().stats();
    EXPECT_EQ(s.packs, 0u);
    EXPECT_EQ(s.diskHits, 3u);

    // A file changed while the server was down is packed afresh, never served stale.
    std::ofstream("content/Other.dat", std::ios::trunc) << std::string(2000, 'O');
    stopServer();
    startServer(options(false));
    EXPECT_EQ(fetch("other.dat"), std::string(2000, 'O'));
    EXPECT_EQ(m_server->cache().stats().packs, 1u);
}

TEST_F(PackPersistenceTest, TheCacheFolderMustLieOutsideThePublishedFolders)
{
    fs::create_directory("self");
    fs::create_symlink(fs::absolute("content"), "alias");
    for (const fs::path& bad : {fs::absolute("content/packs"), fs::absolute("content"),
                                fs::absolute("alias/x"), fs::absolute("self/packs")})
    {
        ServerOptions o = options(false);
        o.selfUpdateDir = fs::absolute("self");
        o.cacheDir = bad;
        CUpdServer s(o);
        EXPECT_THROW(s.start(), std::runtime_error) << bad;
        EXPECT_FALSE(fs::exists(bad / "x")) << bad;
    }
    EXPECT_FALSE(fs::exists("content/packs"));
    {
        // A default that would fall inside is dropped, with a warning.
        ServerOptions o = options(false);
        o.cacheDir = fs::absolute("content/packs");
        o.cacheDirOptional = true;
        CUpdServer s(o);
        EXPECT_NO_THROW(s.start());
        EXPECT_FALSE(fs::exists("content/packs"));
    }

    // A folder that cannot be made: fatal when asked for, only a warning by default.
    std::ofstream("file") << "x";
    ServerOptions o = options(false);
    o.cacheDir = fs::absolute("file/packs");
    {
        CUpdServer s(o);
        EXPECT_THROW(s.start(), std::runtime_error);
    }
    o.cacheDirOptional = true;
    startServer(o);
    EXPECT_EQ(fetch("maps/town.dat"), "town data");
}
