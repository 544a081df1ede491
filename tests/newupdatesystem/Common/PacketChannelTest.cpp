// The packet channel over an in-memory link: the chunk header's wire form, the
// send deadline, stops between waits, gathered sends and chunks handed to a
// sink.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <utility>

#include "newupdatesystem/Common/Messages.h"
#include "newupdatesystem/Common/PacketChannel.h"
#include "support/CatchExcep.h"
#include "support/ScriptedPeer.h"

namespace
{

const PacketSites kTestSites{"T::sendPacket", "T::recvPacket", "T::processDataPacket", "T::recvAckMsg",
                             "T::sendData"};

struct StopRequested
{
};

// Hands out what source produces on every receive and takes what take allows
// on every send; checkStop raises once stop is set.
class MemoryLink : public IPacketLink
{
public:
    uint32_t sendSome(const uint8_t* bytes, uint32_t length) override
    {
        uint32_t n = std::min(length, take);
        sent.insert(sent.end(), bytes, bytes + n);
        sends += n != 0;
        return n;
    }
    uint32_t receiveSome(uint8_t* buffer, uint32_t capacity) override
    {
        Bytes b = source ? source() : Bytes{};
        uint32_t n = std::min(uint32_t(b.size()), capacity);
        std::copy(b.begin(), b.begin() + n, buffer);
        return n;
    }
    void checkStop() override
    {
        if (stop)
            throw StopRequested{};
    }

    std::function<Bytes()> source;
    uint32_t take = UINT32_MAX;
    Bytes sent;
    unsigned sends = 0; // calls that took bytes
    bool stop = false;
};

} // namespace

TEST(ChunkHeaderTest, TravelsAsSixLittleEndianWordsInFieldOrder)
{
    DataChunkHeader h{PACKET_SIGNATURE, TAG_DATA, SUBTAG_NRMP, 5, 0x01020304, 0xA1B2C3D4};
    const auto wire = h.encode();
    const Bytes expected = {0x01, 0x09, 0x08, 0x04, 'D', 'a', 't', 'a', 'N',  'r',  'm',  'P',
                            5,    0,    0,    0,    4,   3,   2,   1,   0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(Bytes(wire.begin(), wire.end()), expected);

    Bytes chunk = peerChunk(peerTag("Get "), peerTag("SpcP"), 7, {'l', 'i', 's', 't'});
    DataChunkHeader back;
    ASSERT_EQ(DataChunkHeader::decode(chunk.data(), uint32_t(chunk.size()), back), WireCheck::OK);
    EXPECT_EQ(back.signature, PACKET_SIGNATURE);
    EXPECT_EQ(back.tag, TAG_GET);
    EXPECT_EQ(back.subtag, SUBTAG_SPCP);
    EXPECT_EQ(back.length, 4u);
    EXPECT_EQ(back.offset, 7u);
    EXPECT_EQ(back.crc, peerWord(chunk, 20));
}

TEST(PacketChannelDeadlineTest, APeerThatTakesNothingTimesOutAndAStopEndsTheWait)
{
    MemoryLink link;
    link.take = 0;
    CPacketChannel channel(link, kTestSites, 0.2);
    uint8_t head[8] = {};
    auto e = catchExcep<CProtoExcep>([&] { channel.sendPacket(head, sizeof head); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, PROTO_TIMEOUT);
    EXPECT_STREQ(e->function, "T::sendPacket");

    // A stop is seen between waits, sending or receiving, long before the
    // time-out.
    CPacketChannel patient(link, kTestSites, 5.0);
    link.stop = true;
    CStopwatch watch;
    EXPECT_THROW(patient.sendPacket(head, sizeof head), StopRequested);
    EXPECT_THROW(patient.recvPacket(), StopRequested);
    EXPECT_LT(watch.elapsed(), 2.0);

    // A frame the link takes at once goes out even after a stop: a job that
    // was stopped still says what it has to say first.
    link.take = UINT32_MAX;
    patient.sendMsg(0, TAG_QUIT);
    EXPECT_EQ(link.sent.size(), peerEncodeFrame(peerPacket(0, TAG_QUIT)).size());
}

// Gathered frames leave as the same bytes in fewer writes: when the next one
// would not fit, before a receive, or when gathering ends; dropped ones never.
TEST(PacketChannelGatherTest, SameBytesInFewerWritesSentBeforeAnyWait)
{
    MemoryLink plain;
    MemoryLink gathered;
    CPacketChannel a(plain, kTestSites, 5.0);
    CPacketChannel b(gathered, kTestSites, 5.0);
    b.setGathering(true);
    Bytes body(10000, FRAME_ESC); // framing bytes: each frame doubles
    uint8_t head[8] = {1, 9, 8, 4, 'S', 'D', 'a', 't'};
    for (int i = 0; i < 40; ++i)
    {
        a.sendPacket(head, sizeof head, body.data(), uint32_t(body.size()));
        b.sendPacket(head, sizeof head, body.data(), uint32_t(body.size()));
    }
    EXPECT_LT(gathered.sent.size(), plain.sent.size()); // some still gathered
    EXPECT_EQ(gathered.sends, 3u);                      // full buffers went
    gathered.source = [] { return peerEncodeFrame(peerPacket(0, TAG_ACKN)); };
    b.recvPacket();
    EXPECT_EQ(gathered.sent, plain.sent);
    EXPECT_EQ(plain.sends, 40u);
    EXPECT_EQ(gathered.sends, 4u); // three full buffers and the rest

    b.sendMsg(0, TAG_QUIT);
    b.setGathering(false);
    a.sendMsg(0, TAG_QUIT);
    EXPECT_EQ(gathered.sent, plain.sent);
    b.sendMsg(0, TAG_QUIT); // not gathering: at once
    a.sendMsg(0, TAG_QUIT);
    EXPECT_EQ(gathered.sent, plain.sent);

    b.setGathering(true);
    b.sendMsg(0, TAG_QUIT);
    b.dropGathered();
    b.recvPacket();
    EXPECT_EQ(gathered.sent, plain.sent);
}

TEST(PacketChannelChunkTest, DeliversEachVerifiedChunkToTheSinkInOrder)
{
    MemoryLink link;
    CPacketChannel channel(link, kTestSites, 5.0);
    Bytes a(CHUNK_MAX_SIZE, 0x11), b = {1, 2, 3};
    std::vector<Bytes> wire = {peerEncodeFrame(peerChunk(TAG_DATA, SUBTAG_NRMP, 0, a)),
                               peerEncodeFrame(peerChunk(TAG_DATA, SUBTAG_NRMP, CHUNK_MAX_SIZE, b, 1)),
                               peerEncodeFrame(peerChunk(TAG_DATA, SUBTAG_NRMP, CHUNK_MAX_SIZE, b)),
                               peerEncodeFrame(peerPacket(0, TAG_ENDF))};
    size_t next = 0;
    Bytes pending;
    link.source = [&]
    {
        if (pending.empty() && next < wire.size())
            pending = wire[next++];
        size_t n = std::min<size_t>(pending.size(), 5000);
        Bytes out(pending.begin(), pending.begin() + n);
        pending.erase(pending.begin(), pending.begin() + n);
        return out;
    };
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    uint32_t subtag = 0;
    uint32_t total = channel.recvChunks(subtag,
                                        [&](const uint8_t* content, uint32_t length, uint32_t offset)
                                        {
                                            EXPECT_EQ(content[0], offset == 0 ? 0x11 : 1);
                                            seen.emplace_back(offset, length);
                                        });
    EXPECT_EQ(total, CHUNK_MAX_SIZE + 3);
    EXPECT_EQ(subtag, SUBTAG_NRMP);
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, uint32_t>>{{0, CHUNK_MAX_SIZE}, {CHUNK_MAX_SIZE, 3}}));
    Bytes ackn = peerEncodeFrame(peerPacket(0, TAG_ACKN));
    Bytes rept = peerEncodeFrame(peerPacket(0, TAG_REPT));
    Bytes answers = ackn;
    answers.insert(answers.end(), rept.begin(), rept.end());
    answers.insert(answers.end(), ackn.begin(), ackn.end());
    EXPECT_EQ(link.sent, answers);
}

// A packet error ends one exchange; the next one's deadline starts afresh
// rather than inheriting the time the broken one took.
TEST(PacketChannelDeadlineTest, AfterABrokenPacketTheNextWaitHasItsWholeTime)
{
    MemoryLink link;
    CPacketChannel channel(link, kTestSites, 2.0);
    CStopwatch since;
    Bytes next = peerEncodeFrame({1, 2, 3}); // shorter than a head
    link.source = [&]
    {
        std::this_thread::yield();
        return since.elapsed() > 1.2 ? std::exchange(next, Bytes{}) : Bytes{};
    };
    auto e = catchExcep<CProtoExcep>([&] { channel.recvPacket(); });
    ASSERT_TRUE(e);
    ASSERT_EQ(e->code, PROTO_PACKET);

    since = CStopwatch();
    next = peerEncodeFrame(peerPacket(0, TAG_ACKN));
    channel.recvPacket(); // 2.4 s after the first wait began
    EXPECT_EQ(channel.packetTag(), TAG_ACKN);
}
