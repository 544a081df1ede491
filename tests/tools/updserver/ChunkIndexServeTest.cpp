// "SIdx" against the server: offered in the version word, refused before
// "Strm", the index of a large file as the client would cut it, none for a
// small one, and an index kept in the cache folder for a restarted server.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "newupdatesystem/Common/ChunkMessages.h"
#include "newupdatesystem/Common/ContentChunker.h"
#include "newupdatesystem/Common/StreamReceiver.h"
#include "support/CatchExcep.h"
#include "support/Sandbox.h"
#include "support/SocketPacketLink.h"
#include "tests/tools/updserver/RawClient.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace
{
Bytes noise(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes out(n);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(random());
    return out;
}

struct IndexClient
{
    explicit IndexClient(uint16_t port) : link(port), channel(link, kSocketLinkSites, 10.0), receiver(channel)
    {
    }
    uint32_t open()
    {
        Bytes init = RawClient::words({PACKET_SIGNATURE, TAG_INIT, TAG_FILE, PROTOCOL_VERSION});
        channel.sendPacket(init.data(), uint32_t(init.size()));
        channel.recvPacket();
        const uint32_t version = decoded<InitAnswer>(channel.packetData(), channel.packetLength()).version;
        channel.recvPacket();
        const auto strm = StreamOpenMsg{STREAM_VERSION, 4u << 20}.encode();
        channel.sendPacket(strm.data(), uint32_t(strm.size()));
        channel.recvPacket();
        EXPECT_EQ(channel.packetTag(), TAG_STRM);
        return version;
    }
    Bytes index(const std::string& name)
    {
        Bytes out;
        CStreamReceiver::sendIndexRequest(channel, 4u << 20, name, ChunkIndex::MAX_SIZE);
        receiver.receiveList(ChunkIndex::MAX_SIZE,
                             [&](const uint8_t* b, size_t n, uint64_t) { out.insert(out.end(), b, b + n); });
        return out;
    }
    SocketPacketLink link;
    CPacketChannel channel;
    CStreamReceiver receiver;
};
} // namespace

class ChunkIndexServeTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        fs::create_directories("content");
        m_big = noise(3u << 20, 5);
        std::ofstream("content/big.pak", std::ios::binary)
            .write(reinterpret_cast<const char*>(m_big.data()), std::streamsize(m_big.size()));
        std::ofstream("content/small.txt") << "small";
    }
    void TearDown() override { stopServer(); }
    void startServer()
    {
        ServerOptions o;
        o.root = fs::absolute("content");
        o.port = 0;
        o.ioTimeoutSeconds = 10;
        o.cacheDir = fs::absolute("cache");
        m_stop = false;
        m_server = std::make_unique<CUpdServer>(o);
        m_server->start();
        m_runner = std::thread([this] { m_server->run(m_stop); });
    }
    void stopServer()
    {
        m_stop = true;
        if (m_runner.joinable())
            m_runner.join();
    }

    Bytes m_big;
    std::unique_ptr<CUpdServer> m_server;
    std::atomic<bool> m_stop{false};
    std::thread m_runner;
};

TEST_F(ChunkIndexServeTest, OfferedAndRefusedBeforeStrm)
{
    startServer();
    RawClient c(m_server->port());
    c.send(RawClient::words({PACKET_SIGNATURE, TAG_INIT, TAG_FILE, PROTOCOL_VERSION}));
    ASSERT_EQ(c.recv(), TAG_INIT);
    ASSERT_EQ(c.length(), 16u);
    EXPECT_NE(decoded<InitAnswer>(c.packet(), c.length()).version & SERVER_OFFERS_CHUNK_INDEX, 0u);
    ASSERT_EQ(c.recv(), TAG_PSWK);
    // Without "Strm" the request is a protocol violation, like "SGet".
    c.send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_SIDX, 0, 0, 0, 0, 1 << 20, 0}),
                               "big.pak"));
    EXPECT_TRUE(c.closedByServer(std::chrono::seconds(10)));
}

TEST_F(ChunkIndexServeTest, IndexOfALargeFileNoneForASmallOneAndKeptForTheNextServer)
{
    startServer();
    Bytes expected;
    {
        size_t at = 0;
        expected = CContentChunker()
                       .index(
                           [&](uint8_t* b, size_t n)
                           {
                               n = std::min(n, m_big.size() - at);
                               std::copy(m_big.begin() + long(at), m_big.begin() + long(at + n), b);
                               at += n;
                               return n;
                           })
                       .encode();
    }
    {
        IndexClient c(m_server->port());
        EXPECT_NE(c.open() & SERVER_OFFERS_CHUNK_INDEX, 0u);
        EXPECT_EQ(c.index("big.pak"), expected);
        // Asked again: from memory, not cut again.
        EXPECT_EQ(c.index("big.pak"), expected);
        auto refused = catchExcep<CProtoExcep>([&] { c.index("small.txt"); });
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->code, PROTO_UNKN_MSG);
        refused = catchExcep<CProtoExcep>([&] { c.index("missing.pak"); });
        ASSERT_TRUE(refused);
        // The session goes on: a range after the refusals.
        Bytes range;
        c.receiver.receive("big.pak", 100, 50,
                           [&](const uint8_t* b, size_t n, uint64_t)
                           { range.insert(range.end(), b, b + n); });
        EXPECT_EQ(range, Bytes(m_big.begin() + 100, m_big.begin() + 150));
    }
    EXPECT_EQ(m_server->chunkIndexes().stats().made, 1u);
    EXPECT_EQ(m_server->chunkIndexes().stats().memoryHits, 1u);
    stopServer();

    // A restarted server finds it in the cache folder.
    startServer();
    IndexClient c(m_server->port());
    c.open();
    EXPECT_EQ(c.index("big.pak"), expected);
    EXPECT_EQ(m_server->chunkIndexes().stats().made, 0u);
    EXPECT_EQ(m_server->chunkIndexes().stats().diskHits, 1u);
}
