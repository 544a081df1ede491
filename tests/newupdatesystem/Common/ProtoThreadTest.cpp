#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/LogControl.h"
#include "newupdatesystem/Common/ProtoThread.h"
#include "support/CatchExcep.h"
#include "support/Sandbox.h"
#include "support/ScriptedPeer.h"

namespace
{

// The protocol with its operations opened up and a scriptable course of work.
class TestProto : public CProtoThread
{
public:
    explicit TestProto(double ioTimeout) : CProtoThread(ioTimeout) {}

    using CProtoThread::loadPacket;
    using CProtoThread::makeAuthDigest;
    using CProtoThread::packetData;
    using CProtoThread::packetLength;
    using CProtoThread::parseTextMsg;
    using CProtoThread::processDataPacket;
    using CProtoThread::recvAckMsg;
    using CProtoThread::recvChecksum;
    using CProtoThread::recvFile;
    using CProtoThread::recvInit;
    using CProtoThread::recvPacket;
    using CProtoThread::sendData;
    using CProtoThread::sendFileData;
    using CProtoThread::sendGetRequest;
    using CProtoThread::sendInit;
    using CProtoThread::sendModify;
    using CProtoThread::sendMsg;
    using CProtoThread::sendPacket;
    using CProtoThread::sendText;
    using CProtoThread::setChallenge;

    std::function<bool()> handshake = [] { return true; };
    std::function<bool()> process = [] { return false; };
    bool firstDataAnswer = true;
    std::vector<int32_t> protoCodes;
    std::vector<int32_t> socketCodes;
    std::atomic<int> steps{0};
    std::atomic<bool> finished{false};

protected:
    bool protoHandshake() override { return handshake(); }
    bool protoProcess() override
    {
        ++steps;
        return process();
    }
    void onProtoExcep(const CProtoExcep& e) override
    {
        protoCodes.push_back(e.code);
        CProtoThread::onProtoExcep(e);
    }
    void onSocketExcep(const CSocketExcep& e) override
    {
        socketCodes.push_back(e.code);
        CProtoThread::onSocketExcep(e);
    }
    void onFinish() override
    {
        CProtoThread::onFinish();
        finished = true;
    }
    bool onFirstData(const uint8_t*, uint32_t) override { return firstDataAnswer; }
};

const uint32_t kData = peerTag("Data");
const uint32_t kNrmP = peerTag("NrmP");
const uint32_t kSpcP = peerTag("SpcP");
const uint32_t kSig = 0x04080901;

Bytes seq(size_t n, uint8_t seed = 0)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + seed);
    return b;
}

Bytes text(const char* s, size_t n)
{
    return Bytes(s, s + n);
}

// Every test runs against a connected scripted peer, in its own folder (the log
// writes its file into the current folder), with a short I/O time-out.
class ProtoTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        m_proto.createSocket(TCP_REUSEADDR_FLAG);
        m_proto.getSocket()->setSelectTimeout(0.05);
        ASSERT_TRUE(m_proto.getSocket()->connectTimeout("127.0.0.1", m_peer.port(), 5.0));
        m_proto.storePeerAddress();
        ASSERT_TRUE(m_peer.waitConnected());
    }

    template <typename F> int32_t protoCode(F&& f)
    {
        auto e = catchExcep<CProtoExcep>(std::forward<F>(f));
        return e ? e->code : -1;
    }

    ScriptedPeer m_peer;
    TestProto m_proto{1.0};
};

} // namespace

TEST_F(ProtoTest, SendsEachPacketKindByteForByte)
{
    m_proto.sendMsg(peerTag("Quit"));
    m_proto.sendInit(peerTag("File"), PROTOCOL_VERSION);
    m_proto.sendText(peerTag("GetS"), "list");
    m_proto.sendModify(peerTag("CrDr"), "art/new/", 0);
    m_proto.sendGetRequest(kSpcP, "ignore");

    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(0, peerTag("Quit")));
    EXPECT_EQ(*m_peer.nextPacket(),
              peerPacket(kSig, peerTag("Init"), {'F', 'i', 'l', 'e', 0x05, 0, 0x01, 0}));
    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(kSig, peerTag("GetS"), text("list", 5)));
    Bytes mdfy = {'C', 'r', 'D', 'r', 0, 0, 0, 0};
    Bytes path = text("art/new/", 9);
    mdfy.insert(mdfy.end(), path.begin(), path.end());
    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(kSig, peerTag("Mdfy"), mdfy));
    EXPECT_EQ(*m_peer.nextPacket(), peerChunk(peerTag("Get "), kSpcP, 0, text("ignore", 6)));
}

TEST_F(ProtoTest, EscapesFramingBytesOnTheWire)
{
    uint8_t head[] = {0xC1, 0xC5, 0x41};
    m_proto.sendPacket(head, sizeof head);
    ASSERT_TRUE(waitFor([&] { return m_peer.received().size() == 6; }));
    EXPECT_EQ(m_peer.received(), (Bytes{0xC5, 0xD5, 0xC5, 0xC5, 0x41, 0xC1}));
}

// The system takes a large frame only in parts while the peer reads nothing; the
// frame must still arrive whole once the peer reads again.
TEST(ProtoSendTest, CompletesFramesTheSystemTakesInParts)
{
    Sandbox sandbox;
    ScriptedPeer peer(2048);
    TestProto proto(10.0);
    proto.createSocket(0);
    ASSERT_TRUE(proto.getSocket()->connectTimeout("127.0.0.1", peer.port(), 5.0));
    int fd = proto.getSocket()->getSocket();
    int small = 2048;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    peer.holdReading(true);

    Bytes chunk = peerChunk(kData, kNrmP, 0, Bytes(CHUNK_MAX_SIZE, 0xC1)); // escapes to nearly 32 KiB
    std::thread sender(
        [&]
        {
            proto.sendPacket(chunk.data(), uint32_t(chunk.size()));
            proto.sendMsg(peerTag("EndF"));
        });
    // Release the peer once the first, partial, send has filled the buffers.
    EXPECT_TRUE(waitFor(
        [&]
        {
            int queued = 0;
            return ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0;
        }));
    peer.holdReading(false);
    sender.join();
    EXPECT_EQ(*peer.nextPacket(), chunk);
    EXPECT_EQ(*peer.nextPacket(), peerPacket(0, peerTag("EndF")));
}

TEST_F(ProtoTest, SendsDataInChunksWithEndF)
{
    for (int i = 0; i < 3; ++i)
        m_peer.sendMsg(peerTag("Ackn"));
    Bytes data = seq(40000);
    m_proto.sendData(kData, kNrmP, data.data(), uint32_t(data.size()));

    uint32_t offsets[] = {0, 16360, 32720}, lengths[] = {16360, 16360, 7280};
    for (int i = 0; i < 3; ++i)
    {
        Bytes part(data.begin() + offsets[i], data.begin() + offsets[i] + lengths[i]);
        EXPECT_EQ(*m_peer.nextPacket(), peerChunk(kData, kNrmP, offsets[i], part)) << "chunk " << i;
    }
    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(0, peerTag("EndF")));
}

TEST_F(ProtoTest, EmptyTransfersSendOnlyEndF)
{
    CDataFile empty;
    m_proto.sendFileData(kNrmP, empty);
    m_proto.sendGetRequest(kNrmP, "");
    m_proto.sendMsg(peerTag("Quit"));
    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(0, peerTag("EndF")));
    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(0, peerTag("Quit")));
}

TEST_F(ProtoTest, ResendsAChunkAsOftenAsReptComes)
{
    for (const char* answer : {"Rept", "Rept", "Ackn"})
        m_peer.sendMsg(peerTag(*reinterpret_cast<const char(*)[5]>(answer)));
    Bytes data = seq(100);
    m_proto.sendData(kData, kNrmP, data.data(), 100);
    Bytes chunk = peerChunk(kData, kNrmP, 0, data);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(*m_peer.nextPacket(), chunk);
    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(0, peerTag("EndF")));
}

// A peer that asks for every chunk twice, answering as the packets arrive.
TEST_F(ProtoTest, ConversationDrivenByThePeer)
{
    std::vector<Bytes> seen;
    m_peer.onPacket(
        [&](const Bytes& packet, ScriptedPeer& p)
        {
            if (peerWord(packet, 4) != kData)
                return;
            bool repeat = !seen.empty() && seen.back() == packet;
            seen.push_back(packet);
            p.sendMsg(peerTag(repeat ? "Ackn" : "Rept"));
        });
    Bytes data = seq(40000, 9);
    m_proto.sendData(kData, kNrmP, data.data(), uint32_t(data.size()));
    std::vector<Bytes> all;
    while (auto p = m_peer.nextPacket(std::chrono::milliseconds(500)))
        all.push_back(*p);
    m_peer.onPacket(nullptr);
    EXPECT_TRUE(m_peer.errors().empty());
    ASSERT_EQ(all.size(), 7u);
    for (int i = 0; i < 6; i += 2)
        EXPECT_EQ(all[i], all[i + 1]);
    EXPECT_EQ(peerWord(all[4], 16), 32720u);
    EXPECT_EQ(all[6], peerPacket(0, peerTag("EndF")));
}

TEST_F(ProtoTest, UnexpectedAnswerToAChunk)
{
    m_peer.sendMsg(peerTag("Echo"));
    Bytes data = seq(10);
    auto e = catchExcep<CProtoExcep>([&] { m_proto.sendData(kData, kNrmP, data.data(), 10); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, PROTO_PROTO);
    EXPECT_STREQ(e->function, "CProtoThread::recvAckMsg");
}

TEST_F(ProtoTest, TwoPacketsInOneReceive)
{
    Bytes both = peerEncodeFrame(peerPacket(0, peerTag("Ackn")));
    Bytes second = peerEncodeFrame(peerPacket(0, peerTag("Rept")));
    both.insert(both.end(), second.begin(), second.end());
    m_peer.sendBytes(both);
    uint32_t words[2] = {};
    m_proto.recvPacket(words);
    EXPECT_EQ(words[1], peerTag("Ackn"));
    // The second packet is already buffered: it arrives even after the close.
    m_peer.closeConnection();
    ASSERT_TRUE(m_peer.waitClientClosed());
    m_proto.recvPacket(words);
    EXPECT_EQ(words[1], peerTag("Rept"));
    auto e = catchExcep<CSocketExcep>([&] { m_proto.recvPacket(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, NET_SELECT);
    EXPECT_EQ(e->socketError, 0);
}

TEST_F(ProtoTest, BrokenFramesCostOnePacket)
{
    Bytes wire = {0xC5, 0x41, 0x42, 0xC1};                                // bad escape
    Bytes empty = {0xC1};                                                 // shorter than 8
    Bytes tooLong = peerEncodeFrame(Bytes(FRAME_NOMINAL_SIZE + 1, 0x33)); // over-long
    Bytes longest = peerPacket(0, peerTag("Ackn"), Bytes(FRAME_NOMINAL_SIZE - 8, 0xC5));
    Bytes good = peerEncodeFrame(longest);
    for (const Bytes* b : {&empty, &tooLong, &good})
        wire.insert(wire.end(), b->begin(), b->end());
    m_peer.sendBytes(wire);
    EXPECT_EQ(protoCode([&] { m_proto.recvPacket(); }), PROTO_PACKET);
    EXPECT_EQ(protoCode([&] { m_proto.recvPacket(); }), PROTO_PACKET);
    EXPECT_EQ(protoCode([&] { m_proto.recvPacket(); }), PROTO_PACKET);
    m_proto.recvPacket();
    ASSERT_EQ(m_proto.packetLength(), FRAME_NOMINAL_SIZE);
    EXPECT_EQ(Bytes(m_proto.packetData(), m_proto.packetData() + m_proto.packetLength()), longest);
}

TEST_F(ProtoTest, ErrorTagsRaiseWhereverTheyArrive)
{
    const std::pair<const char*, int32_t> cases[] = {
        {"Quit", PROTO_QUIT}, {"Busy", PROTO_BUSY}, {"Acss", PROTO_ACCESS}, {"Rjtd", PROTO_AUTH}};
    for (auto [tag, code] : cases)
        m_peer.sendPacket(0x12345678, peerTag(*reinterpret_cast<const char(*)[5]>(tag)), {1, 2, 3});
    uint8_t sum[16];
    EXPECT_EQ(protoCode([&] { m_proto.recvChecksum(sum); }), PROTO_QUIT);
    EXPECT_EQ(protoCode([&] { m_proto.recvChecksum(sum); }), PROTO_BUSY);
    EXPECT_EQ(protoCode([&] { m_proto.recvAckMsg(peerTag("Ackn"), peerTag("Rept")); }), PROTO_ACCESS);
    CDataFile buffer;
    EXPECT_EQ(protoCode([&] { m_proto.recvFile(kNrmP, buffer, 0); }), PROTO_AUTH);
}

TEST_F(ProtoTest, ChecksumAnswerMustBeA24ByteFSum)
{
    Bytes sum = seq(16, 3);
    m_peer.sendPacket(0, peerTag("FSum"), sum);
    m_peer.sendPacket(0, peerTag("FSum"), seq(15));
    m_peer.sendPacket(0, peerTag("Ackn"), sum);
    uint8_t out[16];
    m_proto.recvChecksum(out);
    EXPECT_EQ(Bytes(out, out + 16), sum);
    auto e = catchExcep<CProtoExcep>([&] { m_proto.recvChecksum(out); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, PROTO_DATA);
    EXPECT_STREQ(e->function, "CProtoThread::recvChecksum");
    EXPECT_EQ(protoCode([&] { m_proto.recvChecksum(out); }), PROTO_DATA);
}

TEST_F(ProtoTest, ReceivesAFileAndAsksAgainForABadChunk)
{
    Bytes a = seq(16360, 1), b = seq(500, 2);
    m_peer.sendFrame(peerChunk(kData, kSpcP, 0, a));
    m_peer.sendFrame(peerChunk(kData, kSpcP, 16360, b, 0xDEADBEEF)); // wrong CRC
    m_peer.sendFrame(peerChunk(kData, kSpcP, 16360, b));
    m_peer.sendMsg(peerTag("EndF"));
    CDataFile buffer;
    m_proto.recvFile(kSpcP, buffer, 100);
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    ASSERT_EQ(buffer.size(), expected.size());
    EXPECT_EQ(Bytes(buffer.data(), buffer.data() + buffer.size()), expected);
    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(0, peerTag("Ackn")));
    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(0, peerTag("Rept")));
    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(0, peerTag("Ackn")));
}

TEST_F(ProtoTest, EmptyTransferLeavesAnEmptyBuffer)
{
    CDataFile buffer;
    buffer.writeAt("old", 3, 0);
    m_peer.sendMsg(peerTag("EndF"));
    m_proto.recvFile(kNrmP, buffer, 0);
    EXPECT_EQ(buffer.size(), 0u);
}

TEST_F(ProtoTest, TransferMustKeepItsSubtagAndOffsets)
{
    m_peer.sendFrame(peerChunk(kData, kNrmP, 0, seq(10)));
    m_peer.sendFrame(peerChunk(kData, kSpcP, 10, seq(10)));
    CDataFile buffer;
    auto e = catchExcep<CProtoExcep>([&] { m_proto.recvFile(0, buffer, 0); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, PROTO_PROTO);
    EXPECT_STREQ(e->function, "CProtoThread::processDataPacket");

    m_peer.sendFrame(peerChunk(kData, kNrmP, 5, seq(10)));
    EXPECT_EQ(protoCode([&] { m_proto.recvFile(kNrmP, buffer, 0); }), PROTO_DATA);
}

// Chunks checked without the network: made current as if received.
TEST_F(ProtoTest, ChunkChecksAndLimits)
{
    uint32_t subtag = 0;
    const uint8_t* content = nullptr;
    uint32_t length = 0;
    auto check = [&](const Bytes& packet, uint32_t offset)
    {
        EXPECT_TRUE(m_proto.loadPacket(packet.data(), uint32_t(packet.size())));
        subtag = 0;
        return protoCode([&] { m_proto.processDataPacket(subtag, offset, content, length); });
    };
    Bytes ten = seq(10);
    EXPECT_EQ(check(peerChunk(kData, kNrmP, 0x4000000 - 9, ten), 0x4000000 - 9), PROTO_TOO_LARGE);
    EXPECT_EQ(check(peerChunk(kData, kNrmP, 0x4000000 - 10, ten), 0x4000000 - 10), -1);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(Bytes(content, content + length), ten);
    EXPECT_EQ(content, m_proto.packetData() + 24); // handed out, not copied
    EXPECT_EQ(check(peerChunk(peerTag("Get "), kNrmP, 1014, ten), 1014), -1);
    EXPECT_EQ(check(peerChunk(peerTag("Get "), kNrmP, 1015, ten), 1015), PROTO_TOO_LARGE);
    EXPECT_EQ(check(peerChunk(peerTag("Get "), kNrmP, 0, ten, 1), 0), PROTO_DATA);
    EXPECT_EQ(check(peerChunk(peerTag("Echo"), kNrmP, 0, ten), 0), PROTO_DATA);
    EXPECT_EQ(check(peerChunk(kData, peerTag("Othr"), 0, ten), 0), PROTO_DATA);
    EXPECT_EQ(check(peerChunk(kData, kNrmP, 0, {}), 0), PROTO_DATA); // no content: too short
    Bytes lying = peerChunk(kData, kNrmP, 0, ten);
    lying[12] = 11; // header claims one byte more than the packet holds
    EXPECT_EQ(check(lying, 0), PROTO_DATA);
    Bytes zero = peerChunk(kData, kNrmP, 0, ten);
    zero[12] = 0;
    EXPECT_EQ(check(zero, 0), PROTO_DATA);
    EXPECT_EQ(check(peerChunk(kData, kNrmP, 0xFFFFFFF8, ten), 0xFFFFFFF8), PROTO_TOO_LARGE);

    // Each good "Data" chunk above was acknowledged.
    EXPECT_EQ(*m_peer.nextPacket(), peerPacket(0, peerTag("Ackn")));
}

TEST_F(ProtoTest, TextMessages)
{
    auto parse = [&](const Bytes& body, std::string& out)
    {
        Bytes p = peerPacket(0, peerTag("Echo"), body);
        EXPECT_TRUE(m_proto.loadPacket(p.data(), uint32_t(p.size())));
        return protoCode([&] { m_proto.parseTextMsg(8, out); });
    };
    std::string out = "x";
    EXPECT_EQ(parse(text("line one\0", 9), out), -1);
    EXPECT_EQ(out, "line one");
    EXPECT_EQ(parse({0}, out), -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(parse(text("ab\0c\0", 5), out), PROTO_DATA);
    EXPECT_EQ(parse(text("abc", 3), out), PROTO_DATA);
    EXPECT_EQ(parse({}, out), PROTO_DATA);
}

TEST_F(ProtoTest, InitAndAuthDigest)
{
    m_peer.sendPacket(0, peerTag("Init"), {0x05, 0, 0x01, 0, 'A', 'c', 'p', 't'});
    m_proto.recvPacket();
    uint32_t words[4];
    ASSERT_TRUE(m_proto.recvInit(words));
    EXPECT_EQ(words[2], PROTOCOL_VERSION);
    EXPECT_EQ(words[3], peerTag("Acpt"));

    uint8_t challenge[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    m_proto.setChallenge(challenge);
    uint8_t digest[16];
    m_proto.makeAuthDigest("secret", digest);
    const uint8_t expected[16] = {0xad, 0xcf, 0xa1, 0x21, 0x16, 0x93, 0xe4, 0x37,
                                  0x4b, 0x11, 0x14, 0x06, 0xc6, 0x21, 0x70, 0xc5};
    EXPECT_EQ(Bytes(digest, digest + 16), Bytes(expected, expected + 16));
}

TEST_F(ProtoTest, SilenceTimesOut)
{
    CStopwatch watch;
    auto e = catchExcep<CProtoExcep>([&] { m_proto.recvPacket(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, PROTO_TIMEOUT);
    EXPECT_STREQ(e->function, "CProtoThread::recvPacket");
    EXPECT_GE(watch.elapsed(), 1.0);
    EXPECT_EQ(CProtoThread::kIoTimeout, 30.0);
}

TEST_F(ProtoTest, FirstDataHookCanTakeTheConnection)
{
    m_proto.firstDataAnswer = false;
    int fd = m_proto.getSocket()->getSocket();
    m_peer.sendMsg(peerTag("Ackn"));
    EXPECT_EQ(protoCode([&] { m_proto.recvPacket(); }), PROTO_PLUGIN);
    EXPECT_EQ(m_proto.getSocket()->getSocket(), platform::kInvalidSocket);
    EXPECT_FALSE(m_peer.waitClientClosed(std::chrono::milliseconds(50))); // detached, not closed
    ::close(fd);
}

TEST_F(ProtoTest, StepsGoOnAfterBrokenDataButNotAfterProtocolErrors)
{
    int calls = 0;
    m_proto.process = [&]() -> bool
    {
        ++calls;
        if (calls == 1)
            throw CProtoExcep(PROTO_DATA, EXCEP_SITE("test"));
        if (calls == 2)
            throw CProtoExcep(PROTO_PACKET, EXCEP_SITE("test"));
        throw CProtoExcep(PROTO_PROTO, EXCEP_SITE("test"));
    };
    m_proto.resume();
    ASSERT_TRUE(m_proto.wait(10.0));
    EXPECT_EQ(m_proto.steps, 3);
    EXPECT_EQ(m_proto.protoCodes, (std::vector<int32_t>{PROTO_DATA, PROTO_PACKET, PROTO_PROTO}));
    EXPECT_TRUE(m_proto.finished);
    EXPECT_TRUE(m_peer.waitClientClosed());
}

TEST_F(ProtoTest, FailedHandshakeRunsNoStep)
{
    m_proto.handshake = [&]
    {
        m_proto.recvPacket(); // the server goes away
        return true;
    };
    m_peer.closeConnection();
    m_proto.resume();
    ASSERT_TRUE(m_proto.wait(10.0));
    EXPECT_EQ(m_proto.steps, 0);
    EXPECT_EQ(m_proto.socketCodes, std::vector<int32_t>{NET_SELECT});
    EXPECT_TRUE(m_proto.finished);
}

TEST(ProtoLogTest, ExceptionLinesStartWithThePeerAddress)
{
    Sandbox sandbox;
    std::FILE* console = std::tmpfile();
    logSetConsoleStream(console);
    {
        TestProto proto(1.0);
        proto.handshake = []() -> bool
        { throw CProtoExcep(PROTO_TIMEOUT, EXCEP_SITE("CUpdateClient::connect")); };
        proto.resume();
        ASSERT_TRUE(proto.wait(10.0));
    }
    logSetConsoleStream(stdout);
    std::rewind(console);
    std::string all;
    char line[1024];
    while (std::fgets(line, sizeof line, console))
        all += line;
    std::fclose(console);
    // No connection yet: the line starts with an empty peer address.
    bool lineStart =
        all.rfind(": Proto exception: ", 0) == 0 || all.find("\n: Proto exception: ") != std::string::npos;
    EXPECT_TRUE(lineStart) << all;
    EXPECT_NE(all.find("CUpdateClient::connect()"), std::string::npos) << all;
}

// --- what a server cannot make the client do: wait forever or repeat forever

namespace
{

// Sends bytes every interval on its own thread, as a peer that trickles or
// floods would, until destroyed or for at most 10 s (so that a client
// without the deadline fails the time checks instead of hanging the test).
class Dripper
{
public:
    Dripper(ScriptedPeer& peer, Bytes bytes, std::chrono::milliseconds interval)
        : m_thread(
              [this, &peer, bytes, interval]
              {
                  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                  std::unique_lock<std::mutex> hold(m_lock);
                  while (!m_wake.wait_for(hold, interval, [this] { return m_done; }) &&
                         std::chrono::steady_clock::now() < end)
                  {
                      hold.unlock();
                      peer.sendBytes(bytes);
                      hold.lock();
                  }
              })
    {
    }
    ~Dripper()
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

int countTagged(ScriptedPeer& peer, uint32_t tag)
{
    int n = 0;
    while (auto p = peer.nextPacket(std::chrono::milliseconds(200)))
        n += peerWord(*p, 4) == tag;
    return n;
}

} // namespace

TEST_F(ProtoTest, AChunkDamagedForeverIsAskedForEightTimesThenGivenUp)
{
    // "Forever" ends at 50 copies, so that a client without the bound fails
    // by its time-out instead of hanging the test.
    Bytes bad = peerChunk(kData, kNrmP, 0, seq(100), 0xDEADBEEF);
    int copies = 1;
    m_peer.onPacket(
        [&](const Bytes& packet, ScriptedPeer& p)
        {
            if (peerWord(packet, 4) == peerTag("Rept") && copies++ < 50)
                p.sendFrame(bad);
        });
    m_peer.sendFrame(bad);
    CDataFile buffer;
    auto e = catchExcep<CProtoExcep>([&] { m_proto.recvFile(kNrmP, buffer, 0); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, PROTO_PROTO);
    EXPECT_STREQ(e->function, "CProtoThread::processDataPacket");
    EXPECT_EQ(buffer.size(), 0u);
    m_peer.onPacket(nullptr);
    EXPECT_EQ(countTagged(m_peer, peerTag("Rept")), int(CPacketChannel::kMaxChunkRepeats));
}

TEST_F(ProtoTest, ReptForeverEndsTheUploadAfterEightRepeats)
{
    int answers = 0;
    m_peer.onPacket(
        [&](const Bytes& packet, ScriptedPeer& p)
        {
            if (peerWord(packet, 4) == peerTag("Data") && answers++ < 50)
                p.sendMsg(peerTag("Rept"));
        });
    Bytes data = seq(100);
    auto e = catchExcep<CProtoExcep>([&] { m_proto.sendData(kData, kNrmP, data.data(), 100); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, PROTO_PROTO);
    EXPECT_STREQ(e->function, "CProtoThread::sendData");
    m_peer.onPacket(nullptr);
    EXPECT_EQ(countTagged(m_peer, kData), int(CPacketChannel::kMaxChunkRepeats) + 1);
}

// One byte at a time, never a whole packet: the 1 s time-out still ends the
// wait, although bytes keep arriving well within it.
TEST_F(ProtoTest, ATrickleOfBytesTimesOut)
{
    Dripper drip(m_peer, {0x41}, std::chrono::milliseconds(100));
    CStopwatch watch;
    auto e = catchExcep<CProtoExcep>([&] { m_proto.recvPacket(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, PROTO_TIMEOUT);
    EXPECT_GE(watch.elapsed(), 1.0);
    EXPECT_LT(watch.elapsed(), 4.0);
}

// A flood with no frame end: the overflow costs one packet, then the decoder
// skips on and the time keeps running until it is up.
TEST_F(ProtoTest, GarbageThatNeverFormsAFrameTimesOut)
{
    Dripper flood(m_peer, Bytes(4096, 0x41), std::chrono::milliseconds(10));
    CStopwatch watch;
    std::vector<int32_t> codes;
    while (codes.size() < 1000 && (codes.empty() || codes.back() == PROTO_PACKET))
        codes.push_back(protoCode([&] { m_proto.recvPacket(); }));
    EXPECT_EQ(codes, (std::vector<int32_t>{PROTO_PACKET, PROTO_TIMEOUT}));
    EXPECT_LT(watch.elapsed(), 4.0);
}

// A stop reaches a worker waiting on a silent server within a slice, not one
// I/O time-out (5 s here) later; also one blocked sending to a peer that
// reads nothing.
TEST(ProtoStopTest, AStopEndsAWorkerBlockedOnTheSocket)
{
    Sandbox sandbox;
    for (bool sending : {false, true})
    {
        ScriptedPeer peer(2048);
        TestProto proto(5.0);
        proto.createSocket(0);
        ASSERT_TRUE(proto.getSocket()->connectTimeout("127.0.0.1", peer.port(), 5.0));
        ASSERT_TRUE(peer.waitConnected());
        peer.holdReading(sending);
        std::atomic<bool> blocked{false};
        proto.handshake = [&]
        {
            if (sending)
            {
                Bytes big(CHUNK_MAX_SIZE, 0xC1);
                for (;;)
                {
                    proto.sendPacket(big.data(), uint32_t(big.size()));
                    blocked = true;
                }
            }
            proto.sendMsg(peerTag("Ackn")); // the last thing before the wait
            proto.recvPacket();
            return true;
        };
        proto.resume();
        if (sending)
            ASSERT_TRUE(waitFor([&] { return blocked.load(); }));
        else
            ASSERT_TRUE(peer.nextPacket());
        CStopwatch watch;
        proto.setRunning(false);
        bool ended = proto.wait(10.0);
        EXPECT_TRUE(ended);
        EXPECT_LT(watch.elapsed(), 2.0) << (sending ? "sending" : "receiving");
        if (!ended)
        { // wake it the hard way before its object goes
            peer.closeConnection();
            proto.wait(-1.0);
        }
        EXPECT_TRUE(proto.protoCodes.empty());
        EXPECT_TRUE(proto.finished);
    }
}
