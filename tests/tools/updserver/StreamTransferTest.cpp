// The streaming transfer against the server: offered only in the version
// word, used only once asked for, files whole and in ranges, a segment asked
// for again, and a 64-bit range of a sparse file between sender and receiver.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/StreamReceiver.h"
#include "support/CatchExcep.h"
#include "support/Sandbox.h"
#include "support/SocketPacketLink.h"
#include "tests/tools/updserver/RawClient.h"
#include "tools/updserver/PackStore.h"
#include "tools/updserver/StreamSender.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace
{
std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i)
    {
        x = x * 1103515245u + 12345u;
        // Stretches of text between stretches of noise.
        s[i] = (i / 50000) % 2 ? char('a' + i % 13) : char(x >> 17);
    }
    return s;
}

Bytes words(std::initializer_list<uint32_t> ws)
{
    return RawClient::words(ws);
}

// A client at packet level: the opening, then "Strm".
struct StreamClient
{
    explicit StreamClient(uint16_t port)
        : link(port), channel(link, kSocketLinkSites, 10.0), receiver(channel)
    {
    }

    uint32_t open()
    {
        Bytes init = words({PACKET_SIGNATURE, TAG_INIT, TAG_FILE, PROTOCOL_VERSION});
        channel.sendPacket(init.data(), uint32_t(init.size()));
        channel.recvPacket();
        uint32_t version = decoded<InitAnswer>(channel.packetData(), channel.packetLength()).version;
        channel.recvPacket();
        EXPECT_EQ(channel.packetTag(), TAG_PSWK);
        Bytes strm = words({PACKET_SIGNATURE, TAG_STRM, STREAM_VERSION, 4u << 20});
        channel.sendPacket(strm.data(), uint32_t(strm.size()));
        channel.recvPacket();
        EXPECT_EQ(channel.packetTag(), TAG_STRM);
        EXPECT_EQ(decoded<StreamOpenMsg>(channel.packetData(), channel.packetLength()).window, 4u << 20);
        return version;
    }
    std::string receive(const std::string& name, uint64_t offset, uint64_t length)
    {
        std::string out;
        receiver.receive(name, offset, length,
                         [&](const uint8_t* b, size_t n, uint64_t)
                         { out.append(reinterpret_cast<const char*>(b), n); });
        return out;
    }

    SocketPacketLink link;
    CPacketChannel channel;
    CStreamReceiver receiver;
};
} // namespace

class StreamTransferTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        fs::create_directories("content/Maps");
        std::ofstream("content/Maps/Town.dat") << "town data, town data, town data, town data";
        std::ofstream("content/big.bin", std::ios::binary) << pattern(2500000, 7);
    }
    void TearDown() override
    {
        m_stop = true;
        if (m_runner.joinable())
            m_runner.join();
    }
    void startServer()
    {
        ServerOptions o;
        o.root = fs::absolute("content");
        o.port = 0;
        o.ioTimeoutSeconds = 10;
        o.cacheDir = m_cacheDir;
        o.cacheDirBytes = m_cacheDirBytes;
        m_server = std::make_unique<CUpdServer>(o);
        m_server->start();
        m_runner = std::thread([this] { m_server->run(m_stop); });
    }

    fs::path m_cacheDir; // empty: packed data in memory only
    uint64_t m_cacheDirBytes = ServerOptions().cacheDirBytes;
    std::unique_ptr<CUpdServer> m_server;
    std::atomic<bool> m_stop{false};
    std::thread m_runner;
};

TEST_F(StreamTransferTest, OfferedInTheVersionWordOnlyAndUsableOnlyOnceAskedFor)
{
    startServer();
    {
        RawClient c(m_server->port());
        c.send(words({PACKET_SIGNATURE, TAG_INIT, TAG_FILE, PROTOCOL_VERSION}));
        ASSERT_EQ(c.recv(), TAG_INIT);
        ASSERT_EQ(c.length(), 16u);
        EXPECT_EQ(decoded<InitAnswer>(c.packet(), c.length()).version,
                  PROTOCOL_VERSION | SERVER_OFFERS_STREAM | SERVER_OFFERS_CHUNK_INDEX);
        EXPECT_EQ(decoded<InitAnswer>(c.packet(), c.length()).verdict, TAG_ACPT);
        ASSERT_EQ(c.recv(), TAG_PSWK);
        // A client that never asked gets no streamed file.
        c.send(RawClient::withText(words({PACKET_SIGNATURE, TAG_SGET, 0, 0, 0, 0, 1 << 20, 0}), "big.bin"));
        EXPECT_TRUE(c.closedByServer(std::chrono::seconds(10)));
    }
    {
        // A control session is offered nothing.
        RawClient c(m_server->port());
        c.send(words({PACKET_SIGNATURE, TAG_INIT, TAG_CTRL, PROTOCOL_VERSION}));
        ASSERT_EQ(c.recv(), TAG_INIT);
        EXPECT_EQ(decoded<InitAnswer>(c.packet(), c.length()).version, PROTOCOL_VERSION);
    }
}

TEST_F(StreamTransferTest, FilesWholeAndInRangesARangeBeyondTheEndRefusedAndASegmentSentAgain)
{
    startServer();
    const std::string big = pattern(2500000, 7);
    StreamClient c(m_server->port());
    EXPECT_EQ(c.open(), PROTOCOL_VERSION | SERVER_OFFERS_STREAM | SERVER_OFFERS_CHUNK_INDEX);
    const std::string town = "town data, town data, town data, town data";
    EXPECT_EQ(c.receive("maps/town.dat", 0, town.size()), town);
    EXPECT_EQ(c.receive("big.bin", 0, big.size()), big);
    EXPECT_EQ(c.receive("big.bin", 1500001, 999999), big.substr(1500001));

    auto e = catchExcep<CProtoExcep>([&] { c.receive("big.bin", 2000000, 500001); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, PROTO_UNKN_MSG);
    EXPECT_EQ(c.channel.packetTag(), TAG_ACSS);

    // By hand: the first segment, then "SRep" for it: it comes again from its
    // first chunk, and the transfer goes on to the end.
    Bytes get = RawClient::withText(words({PACKET_SIGNATURE, TAG_SGET, 0, 0, 2000000, 0, 1, 0}), "big.bin");
    c.channel.sendPacket(get.data(), uint32_t(get.size()));
    c.channel.recvPacket();
    ASSERT_EQ(c.channel.packetTag(), TAG_SINF);
    uint32_t firstChunks = 0;
    for (;;)
    {
        c.channel.recvPacket();
        ASSERT_EQ(c.channel.packetTag(), TAG_SDAT);
        StreamChunkHead h = decoded<StreamChunkHead>(c.channel.packetData(), c.channel.packetLength());
        ASSERT_EQ(h.segment, 0u);
        ++firstChunks;
        if (h.chunkOffset + c.channel.packetLength() - SDAT_HEAD_SIZE == h.packedLength)
            break;
    }
    Bytes rep = words({PACKET_SIGNATURE, TAG_SREP, 0, 0});
    c.channel.sendPacket(rep.data(), uint32_t(rep.size()));
    c.channel.recvPacket();
    ASSERT_EQ(c.channel.packetTag(), TAG_SDAT);
    StreamChunkHead again = decoded<StreamChunkHead>(c.channel.packetData(), c.channel.packetLength());
    EXPECT_EQ(again.segment, 0u);
    EXPECT_EQ(again.chunkOffset, 0u);
    // A repeat of a segment not yet sent is out of place: the session ends.
    Bytes wrong = words({PACKET_SIGNATURE, TAG_SREP, 1 << 20, 0});
    for (uint32_t i = 1; i < firstChunks; ++i)
        c.channel.recvPacket();
    c.channel.sendPacket(wrong.data(), uint32_t(wrong.size()));
    auto closed = catchExcep<CProtoExcep>(
        [&]
        {
            for (;;)
                c.channel.recvPacket();
        });
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->code, PROTO_QUIT); // the link saw the connection end
}

// Lists asked for together come whole, in the order asked: one too large for
// what the client takes, or unknown, is refused, and the session goes on.
// The segments of larger files are kept in the cache folder once packed, and
// those packing did not shrink are marked so; a damaged entry is packed again
// and the client still gets the file's bytes.
TEST_F(StreamTransferTest, PackedSegmentsAreKeptOnDiskAndADamagedOneIsPackedAgain)
{
    std::string noise(1500000, '\0');
    uint32_t x = 5;
    for (char& ch : noise)
        ch = char((x = x * 1103515245u + 12345u) >> 23);
    std::ofstream("content/noise.bin", std::ios::binary) << noise;
    m_cacheDir = fs::absolute("cache");
    startServer();
    const std::string big = pattern(2500000, 7);
    auto fetchBoth = [&]
    {
        StreamClient c(m_server->port());
        c.open();
        EXPECT_EQ(c.receive("big.bin", 0, big.size()), big);
        EXPECT_EQ(c.receive("noise.bin", 0, noise.size()), noise);
    };
    fetchBoth();
    // Entries are written before the segment goes out: all are there.
    std::vector<fs::path> packed;
    size_t marks = 0;
    for (const auto& e : fs::directory_iterator(m_cacheDir))
    {
        if (e.file_size() == CPackStore::HEADER_SIZE + CDataFile::HEADER_SIZE)
            ++marks;
        else
            packed.push_back(e.path());
    }
    EXPECT_EQ(marks, 2u);         // noise.bin's two segments
    ASSERT_EQ(packed.size(), 3u); // big.bin's three
    for (const fs::path& p : packed)
    {
        std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(fs::file_size(p) / 2));
        f.put('\x5a').put('\xa5');
    }
    fetchBoth();
    fetchBoth();
}

// Segments are kept only while they fit: a file larger than the cache folder
// does not push out what is there, its own first segments included.
TEST_F(StreamTransferTest, SegmentsBeyondTheCacheFolderBudgetAreNotKept)
{
    m_cacheDir = fs::absolute("cache");
    m_cacheDirBytes = 600 << 10; // one of big.bin's packed segments
    startServer();
    const std::string big = pattern(2500000, 7);
    std::set<fs::path> kept;
    for (int run = 0; run < 2; ++run)
    {
        StreamClient c(m_server->port());
        c.open();
        EXPECT_EQ(c.receive("big.bin", 0, big.size()), big);
        std::set<fs::path> now;
        for (const auto& e : fs::directory_iterator(m_cacheDir))
            now.insert(e.path());
        ASSERT_EQ(now.size(), 1u);
        // The first segment, not the last one packed.
        EXPECT_NE(now.begin()->filename().string().find("-1048576."), std::string::npos);
        if (run == 1)
        {
            EXPECT_EQ(now, kept);
        }
        kept = now;
    }
}

// After a restart, before the memory cache has a small file again, a client
// streams the packed form the cache folder kept, not one packed for it anew.
TEST_F(StreamTransferTest, AfterARestartASmallFileStreamsFromTheCacheFolder)
{
    std::string text;
    for (unsigned i = 0; text.size() < 200000; ++i)
        text += "realm " + std::to_string(i * 7919 % 1000) + (i % 9 ? " map" : " sound\n");
    std::ofstream("content/words.txt", std::ios::binary) << text;
    m_cacheDir = fs::absolute("cache");
    startServer();
    auto firstSegment = [&]
    {
        StreamClient c(m_server->port());
        c.open();
        Bytes get = RawClient::withText(
            words({PACKET_SIGNATURE, TAG_SGET, 0, 0, uint32_t(text.size()), 0, 1 << 20, 0}), "words.txt");
        c.channel.sendPacket(get.data(), uint32_t(get.size()));
        c.channel.recvPacket();
        EXPECT_EQ(c.channel.packetTag(), TAG_SINF);
        c.channel.recvPacket();
        EXPECT_EQ(c.channel.packetTag(), TAG_SDAT);
        return decoded<StreamChunkHead>(c.channel.packetData(), c.channel.packetLength());
    };
    firstSegment(); // packed quickly for this client; the cache packs it behind
    ASSERT_TRUE(m_server->cache().waitIdle(std::chrono::seconds(60)));
    m_stop = true;
    m_runner.join();
    m_stop = false;
    startServer();

    uintmax_t kept = 0;
    for (const auto& e : fs::directory_iterator(m_cacheDir))
        kept = std::max(kept, e.file_size());
    StreamChunkHead h = firstSegment();
    EXPECT_EQ(h.method, uint32_t(SegmentMethod::ZLIB));
    EXPECT_EQ(h.packedLength, kept - CPackStore::HEADER_SIZE - CDataFile::HEADER_SIZE);
    // Which a quick packing would not have given.
    std::vector<uint8_t> quick;
    CSegmentCodec(1).pack(text.data(), text.size(), quick);
    EXPECT_NE(quick.size(), h.packedLength);
}

TEST_F(StreamTransferTest, ListsAskedForAheadComeWholeInOrder)
{
    startServer();
    StreamClient c(m_server->port());
    c.open();
    for (const auto& [name, max] : {std::pair<const char*, uint64_t>{"list", 1 << 20},
                                    {"ignore", 1 << 20},
                                    {"nosuch", 1 << 20},
                                    {"list", 100}})
        CStreamReceiver::sendListRequest(c.channel, 4u << 20, name, max);
    std::string list;
    c.receiver.receiveList(1 << 20, [&](const uint8_t* b, size_t n, uint64_t)
                           { list.append(reinterpret_cast<const char*>(b), n); });
    CFileList parsed;
    parsed.createFromBin(list.data(), uint32_t(list.size()));
    EXPECT_EQ(parsed.fileCount, 2u);
    EXPECT_TRUE(parsed.findEntry("maps/town.dat"));
    size_t ignored = 1;
    EXPECT_EQ(c.receiver.receiveList(1 << 20, [&](const uint8_t*, size_t n, uint64_t) { ignored += n; }), 0u);
    EXPECT_EQ(ignored, 1u);
    for (int refused = 0; refused < 2; ++refused)
    {
        auto e = catchExcep<CProtoExcep>(
            [&] { c.receiver.receiveList(1 << 20, [](const uint8_t*, size_t, uint64_t) {}); });
        ASSERT_TRUE(e);
        EXPECT_EQ(c.channel.packetTag(), TAG_ACSS);
    }
    EXPECT_EQ(c.receive("big.bin", 0, 10), pattern(10, 7));
}

TEST(StreamSenderTest, A64BitRangeOfASparseFileMovesBetweenSenderAndReceiver)
{
    Sandbox sandbox;
    const fs::path huge = sandbox.path() / "huge.bin";
    const uint64_t size = (5ull << 30) + 777;
    const uint64_t marker = (4ull << 30) + 1000;
    {
        std::ofstream f(huge, std::ios::binary);
        f.seekp(std::streamoff(marker));
        f << pattern(300000, 3);
    }
    fs::resize_file(huge, size);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);

    std::atomic<uint64_t> sent{0};
    std::string failure;
    std::thread serverSide(
        [&]
        {
            int fd = accept(listener, nullptr, nullptr);
            SocketPacketLink link = SocketPacketLink::adopt(fd);
            CPacketChannel channel(link, kSocketLinkSites, 10.0);
            try
            {
                channel.recvPacket();
                CStreamSender::Request r;
                if (!CStreamSender::parseRequest(channel.packetData(), channel.packetLength(), r))
                    throw std::runtime_error("request not understood");
                CStreamSender sender(
                    channel,
                    [&](const CStreamSender::Request&, CStreamSender::Source& source)
                    {
                        source.file = std::make_unique<std::ifstream>(huge, std::ios::binary);
                        source.size = size;
                        return true;
                    },
                    256 << 10);
                sent = sender.serve(r);
            }
            catch (const std::exception& e)
            {
                failure = e.what();
            }
            catch (const CExcep& e)
            {
                failure = "exception " + std::to_string(e.code);
            }
        });

    std::string expected = std::string(500, '\0') + pattern(300000, 3) + std::string(700000 - 500, '\0');
    SocketPacketLink link(ntohs(a.sin_port));
    CPacketChannel channel(link, kSocketLinkSites, 10.0);
    CStreamReceiver receiver(channel, 1 << 20);
    std::string got;
    uint64_t first = 0;
    uint64_t fileSize = receiver.receive("huge.bin", marker - 500, expected.size(),
                                         [&](const uint8_t* b, size_t n, uint64_t at)
                                         {
                                             if (got.empty())
                                                 first = at;
                                             got.append(reinterpret_cast<const char*>(b), n);
                                         });
    serverSide.join();
    close(listener);
    EXPECT_EQ(failure, "");
    EXPECT_EQ(fileSize, size);
    EXPECT_EQ(first, marker - 500);
    EXPECT_TRUE(got == expected);
    // Zeros pack: far fewer bytes travel than the range holds.
    EXPECT_LT(sent.load(), expected.size());
}

TEST_F(StreamTransferTest, RequestsSentAheadAreAnsweredInOrderAndASinkFailureKeepsTheSessionInStep)
{
    startServer();
    const std::string big = pattern(2500000, 7);
    const std::string town = "town data, town data, town data, town data";
    StreamClient c(m_server->port());
    c.open();
    c.receiver.request("big.bin", 0, big.size());
    c.receiver.request("maps/town.dat", 0, town.size());
    c.receiver.request("big.bin", 100, 1000);

    // The first answer's writer fails at once: the transfer is still taken
    // whole before the failure is raised.
    std::string first;
    auto failed = catchExcep<CSystemExcep>(
        [&]
        {
            c.receiver.receiveAnswer(0, big.size(),
                                     [&](const uint8_t* b, size_t n, uint64_t)
                                     {
                                         first.append(reinterpret_cast<const char*>(b), n);
                                         throw CSystemExcep(FILE_WRITE, EK_NONE, 0, "disk full",
                                                            EXCEP_HERE());
                                     });
        });
    ASSERT_TRUE(failed);
    EXPECT_EQ(first.size(), STREAM_SEGMENT_SIZE);

    auto take = [&](uint64_t offset, uint64_t length)
    {
        std::string out;
        c.receiver.receiveAnswer(offset, length,
                                 [&](const uint8_t* b, size_t n, uint64_t)
                                 { out.append(reinterpret_cast<const char*>(b), n); });
        return out;
    };
    EXPECT_EQ(take(0, town.size()), town);
    EXPECT_EQ(take(100, 1000), big.substr(100, 1000));
}

TEST_F(StreamTransferTest, ASegmentAskedForAgainBringsBackTheAnswersSentAfterIt)
{
    startServer();
    const std::string big = pattern(2500000, 7);
    const std::string town = "town data, town data, town data, town data";
    StreamClient c(m_server->port());
    c.open();
    c.receiver.request("big.bin", 0, big.size());
    c.receiver.request("maps/town.dat", 0, town.size());

    // Both answers go out without waiting for the first one's acknowledgement.
    auto next = [&]
    {
        c.channel.recvPacket();
        return c.channel.packetTag();
    };
    std::vector<uint32_t> first;
    int infos = 0;
    do
    {
        first.push_back(next());
        infos += first.back() == TAG_SINF;
    } while (infos < 2 || first.back() == TAG_SINF);
    EXPECT_EQ(first.front(), TAG_SINF);
    EXPECT_EQ(first.back(), TAG_SDAT);
    EXPECT_EQ(decoded<StreamChunkHead>(c.channel.packetData(), c.channel.packetLength()).segment,
              0u); // the second file's only segment

    Bytes rep = words({PACKET_SIGNATURE, TAG_SREP, 0, 0});
    c.channel.sendPacket(rep.data(), uint32_t(rep.size()));
    std::vector<uint32_t> again(first.size() - 1);
    for (uint32_t& tag : again)
        tag = next();
    EXPECT_EQ(again, std::vector<uint32_t>(first.begin() + 1, first.end()));

    Bytes ackFirst = words({PACKET_SIGNATURE, TAG_SACK, uint32_t(big.size()), 0, 0, 0});
    Bytes ackSecond = words({PACKET_SIGNATURE, TAG_SACK, uint32_t(town.size()), 0, 0, 0});
    c.channel.sendPacket(ackFirst.data(), uint32_t(ackFirst.size()));
    c.channel.sendPacket(ackSecond.data(), uint32_t(ackSecond.size()));
    EXPECT_EQ(c.receive("maps/town.dat", 0, town.size()), town);
}
