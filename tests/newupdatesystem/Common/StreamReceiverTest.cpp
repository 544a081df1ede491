// The client's end of the streaming transfer against a scripted server: files
// in segments and chunks as they travel, a damaged chunk asked for again from
// its segment only, bounded repeats, and chunks that do not fit refused.
#include <gtest/gtest.h>

#include <zlib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/StreamMessages.h"
#include "newupdatesystem/Common/StreamReceiver.h"
#include "support/CatchExcep.h"
#include "support/ScriptedPeer.h"
#include "support/SocketPacketLink.h"

namespace
{

// A fixed-size message as the peer sends it: its bytes after the head.
template <size_t N> Bytes body(const std::array<uint8_t, N>& packet, const Bytes& tail = {})
{
    Bytes b(N - PACKET_HEAD_SIZE + tail.size());
    std::copy(packet.data() + PACKET_HEAD_SIZE, packet.data() + N, b.data());
    std::copy(tail.begin(), tail.end(), b.data() + N - PACKET_HEAD_SIZE);
    return b;
}

// Serves one virtual file of fileSize bytes whose byte at offset o is
// content(o), in segments of segmentSize: even segments stored, odd ones as
// zlib streams made by zlib itself. Damages the chunks it is told to.
class StreamScript
{
public:
    StreamScript(uint64_t fileSize, uint32_t segmentSize) : fileSize(fileSize), segmentSize(segmentSize)
    {
        peer.onPacket([this](const Bytes& p, ScriptedPeer& s) { answer(p, s); });
    }

    static uint8_t content(uint64_t o)
    {
        return (o / 4096) % 2 ? uint8_t('a' + o % 7) : uint8_t(o * 2654435761u >> 13);
    }

    uint64_t fileSize;
    uint32_t segmentSize;
    // The segment whose third chunk is damaged the first time it is sent;
    // every chunk when damageAll.
    uint64_t damageSegment = UINT64_MAX;
    bool damageAll = false;
    uint64_t wrongSegmentShift = 0;
    std::vector<uint64_t> repeats;
    std::vector<uint64_t> acks;
    std::mutex mutex;
    std::condition_variable acked;
    // Waits until the client has acknowledged up to end.
    bool waitAck(uint64_t upTo)
    {
        std::unique_lock<std::mutex> hold(mutex);
        return acked.wait_for(hold, std::chrono::seconds(5),
                              [&] { return !acks.empty() && acks.back() == upTo; });
    }
    ScriptedPeer peer; // last: its thread calls answer

private:
    void sendFrom(uint64_t from, uint64_t end, ScriptedPeer& s)
    {
        for (uint64_t at = from; at < end; at += segmentSize)
        {
            uint32_t n = uint32_t(std::min<uint64_t>(segmentSize, end - at));
            Bytes raw(n);
            for (uint32_t i = 0; i < n; ++i)
                raw[i] = content(at + i);
            Bytes packed = raw;
            uint32_t method = 0;
            if ((at / segmentSize) % 2)
            {
                uLongf len = compressBound(n);
                packed.resize(len);
                compress2(packed.data(), &len, raw.data(), n, 6);
                packed.resize(len);
                method = 1;
            }
            for (uint32_t off = 0; off < packed.size(); off += 16000)
            {
                uint32_t c = std::min<uint32_t>(16000, uint32_t(packed.size()) - off);
                Bytes chunk(packed.begin() + off, packed.begin() + off + c);
                uint32_t crc = calcCrc32(chunk.data(), c, 0);
                if (damageAll || (at == damageSegment && off == 32000 && !m_damaged++))
                    chunk[c / 2] ^= 0x40;
                const StreamChunkHead head{
                    at + wrongSegmentShift, n, uint32_t(packed.size()), method, off, crc};
                s.sendPacket(PACKET_SIGNATURE, TAG_SDAT, body(head.encode(), chunk));
            }
        }
    }

    void answer(const Bytes& p, ScriptedPeer& s)
    {
        uint32_t tag = peerWord(p, 4);
        std::lock_guard<std::mutex> hold(mutex);
        const uint32_t length = uint32_t(p.size());
        StreamRequestMsg request;
        StreamRepeatMsg repeat;
        StreamAckMsg ack;
        if (tag == TAG_SGET && StreamRequestMsg::decode(p.data(), length, request) == WireCheck::OK)
        {
            m_offset = request.offset;
            m_end = m_offset + request.length;
            s.sendPacket(PACKET_SIGNATURE, TAG_SINF, body(StreamInfoMsg{fileSize, segmentSize}.encode()));
            sendFrom(m_offset, m_end, s);
        }
        else if (StreamRepeatMsg::decode(p.data(), length, repeat) == WireCheck::OK)
        {
            repeats.push_back(repeat.segment);
            sendFrom(repeats.back(), m_end, s);
        }
        else if (StreamAckMsg::decode(p.data(), length, ack) == WireCheck::OK)
        {
            acks.push_back(ack.verified);
            acked.notify_all();
        }
    }

    uint64_t m_offset = 0, m_end = 0;
    unsigned m_damaged = 0;
};

struct Client
{
    explicit Client(uint16_t port) : link(port), channel(link, kSocketLinkSites, 5.0), receiver(channel) {}
    Bytes receive(const std::string& name, uint64_t offset, uint64_t length)
    {
        Bytes out;
        uint64_t expectedAt = offset;
        receiver.receive(name, offset, length,
                         [&](const uint8_t* b, size_t n, uint64_t at)
                         {
                             EXPECT_EQ(at, expectedAt);
                             expectedAt += n;
                             out.insert(out.end(), b, b + n);
                         });
        return out;
    }
    SocketPacketLink link;
    CPacketChannel channel;
    CStreamReceiver receiver;
};

Bytes expected(uint64_t offset, uint64_t length)
{
    Bytes b(length);
    for (uint64_t i = 0; i < length; ++i)
        b[i] = StreamScript::content(offset + i);
    return b;
}

} // namespace

TEST(StreamReceiverTest, DamagedChunkIsSentAgainFromItsSegmentAndA64BitRangeArrivesWhole)
{
    const uint32_t seg = 64 << 10; // five chunks a segment
    {
        StreamScript script(300 << 10, seg);
        script.damageSegment = 2 * seg;
        Client c(script.peer.port());
        EXPECT_EQ(c.receive("big.dat", 0, 300 << 10), expected(0, 300 << 10));
        EXPECT_EQ(c.receiver.repeatedSegments(), 1u);
        EXPECT_TRUE(script.waitAck(300 << 10));
        std::lock_guard<std::mutex> hold(script.mutex);
        EXPECT_EQ(script.repeats, std::vector<uint64_t>{2 * seg});
    }
    {
        // Beyond 4 GiB, not on a segment boundary, ending at the file's end.
        const uint64_t size = (5ull << 30) + 12345;
        const uint64_t from = size - 150000;
        StreamScript script(size, seg);
        Client c(script.peer.port());
        EXPECT_EQ(c.receive("huge.dat", from, 150000), expected(from, 150000));
        EXPECT_EQ(c.receiver.repeatedSegments(), 0u);
    }
}

TEST(StreamReceiverTest, RepeatsAreBoundedAndChunksThatDoNotFitAreRefused)
{
    {
        StreamScript script(100 << 10, 64 << 10);
        script.damageAll = true;
        Client c(script.peer.port());
        auto e = catchExcep<CProtoExcep>([&] { c.receive("f", 0, 100 << 10); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->code, PROTO_PROTO);
        std::lock_guard<std::mutex> hold(script.mutex);
        EXPECT_EQ(script.repeats.size(), STREAM_MAX_REPEATS);
    }
    {
        StreamScript script(100 << 10, 64 << 10);
        script.wrongSegmentShift = 4096;
        Client c(script.peer.port());
        auto e = catchExcep<CProtoExcep>([&] { c.receive("f", 0, 100 << 10); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->code, PROTO_DATA);
    }
    {
        // A segment size no client would hold, and a file shorter than asked.
        StreamScript script(100 << 10, STREAM_MAX_SEGMENT + 1);
        Client c(script.peer.port());
        auto e = catchExcep<CProtoExcep>([&] { c.receive("f", 0, 100 << 10); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->code, PROTO_DATA);
        StreamScript shorter(100 << 10, 64 << 10);
        Client d(shorter.peer.port());
        e = catchExcep<CProtoExcep>([&] { d.receive("f", 0, 200 << 10); });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->code, PROTO_DATA);
    }
}

// A damaged chunk and then packets that never bring the segment asked for
// again: the receiver drops them, but only until its I/O time-out, however
// often they come.
TEST(StreamReceiverTest, DroppingWhatComesBeforeTheSegmentAskedForAgainEndsWithTheTimeOut)
{
    ScriptedPeer peer;
    std::atomic<bool> done{false};
    std::thread server(
        [&]
        {
            try
            {
                if (!peer.nextPacket())
                    return;
                peer.sendPacket(PACKET_SIGNATURE, TAG_SINF, body(StreamInfoMsg{1000, 1000}.encode()));
                Bytes chunk(1000, 'z');
                peer.sendPacket(PACKET_SIGNATURE, TAG_SDAT,
                                body(StreamChunkHead{0, 1000, 1000, 0, 0, 12345}.encode(), chunk));
                // 100 a second, for longer than any test should take.
                for (int i = 0; i < 2000 && !done; ++i)
                {
                    peer.sendPacket(PACKET_SIGNATURE, TAG_SINF, body(StreamInfoMsg{1000, 1000}.encode()));
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
            catch (...)
            {
                // The client has gone.
            }
        });
    SocketPacketLink link(peer.port());
    CPacketChannel channel(link, kSocketLinkSites, 1.0);
    CStreamReceiver receiver(channel);
    CStopwatch clock;
    auto e = catchExcep<CProtoExcep>(
        [&] { receiver.receive("f", 0, 1000, [](const uint8_t*, size_t, uint64_t) { ADD_FAILURE(); }); });
    const double took = clock.elapsed();
    done = true;
    server.join();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, PROTO_TIMEOUT);
    EXPECT_EQ(receiver.repeatedSegments(), 1u);
    EXPECT_LT(took, 5.0);
}

// A packed segment unpacks to no more than deflate can express: an all-zero
// segment of the largest size, packed as tightly as zlib packs, arrives; one
// that claims more than its packed bytes could hold is refused unread.
TEST(StreamReceiverTest, SegmentsExpandOnlyAsFarAsDeflateCan)
{
    const uint32_t size = STREAM_MAX_SEGMENT;
    Bytes zeros(size, 0);
    uLongf len = compressBound(size);
    Bytes packed(len);
    compress2(packed.data(), &len, zeros.data(), size, 9);
    packed.resize(len);
    for (bool forged : {false, true})
    {
        SCOPED_TRACE(forged ? "forged" : "all zero");
        // The forged segment claims the same length from a fifth of the bytes.
        Bytes sent = forged ? Bytes(packed.begin(), packed.begin() + len / 5) : packed;
        ScriptedPeer peer;
        std::thread server(
            [&]
            {
                if (!peer.nextPacket())
                    return;
                peer.sendPacket(PACKET_SIGNATURE, TAG_SINF, body(StreamInfoMsg{size, size}.encode()));
                for (uint32_t off = 0; off < sent.size(); off += 16000)
                {
                    Bytes chunk(sent.begin() + off,
                                sent.begin() + std::min<size_t>(off + 16000, sent.size()));
                    peer.sendPacket(PACKET_SIGNATURE, TAG_SDAT,
                                    body(StreamChunkHead{0, size, uint32_t(sent.size()), 1, off,
                                                         calcCrc32(chunk.data(), uint32_t(chunk.size()), 0)}
                                             .encode(),
                                         chunk));
                }
            });
        Client c(peer.port());
        Bytes got;
        auto e = catchExcep<CProtoExcep>([&] { got = c.receive("zeros", 0, size); });
        server.join();
        if (forged)
        {
            ASSERT_TRUE(e);
            EXPECT_EQ(e->code, PROTO_DATA);
            EXPECT_EQ(c.receiver.repeatedSegments(), 0u);
        }
        else
        {
            EXPECT_FALSE(e);
            EXPECT_TRUE(got == zeros);
        }
    }
}
