#include <gtest/gtest.h>

#include <random>

#include "newupdatesystem/Common/FrameCodec.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "support/ScriptedPeer.h"

namespace
{

Bytes encode(const Bytes& packet)
{
    CFrameEncoder enc(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    enc.reset();
    EXPECT_TRUE(enc.encode(packet.data(), uint32_t(packet.size())));
    EXPECT_TRUE(enc.finish());
    return Bytes(enc.data(), enc.data() + enc.size());
}

// Random bytes with framing bytes mixed in often enough to hit every path.
Bytes randomPacket(std::mt19937& rng, size_t size)
{
    Bytes b(size);
    for (auto& c : b)
    {
        uint32_t r = rng();
        c = (r % 16 == 0) ? FRAME_END : (r % 16 == 1) ? FRAME_ESC : uint8_t(r >> 8);
    }
    return b;
}

struct Decoded
{
    std::vector<int> results;
    std::vector<Bytes> packets;
};

// Feeds the input in pieces of the given size and collects every outcome.
Decoded decodeAll(CFrameDecoder& dec, const Bytes& input, size_t piece)
{
    Decoded out;
    for (size_t start = 0; start < input.size(); start += piece)
    {
        uint32_t len = uint32_t(std::min(piece, input.size() - start));
        uint32_t pos = 0;
        while (pos < len)
        {
            int r = dec.feed(input.data() + start, len, pos);
            if (r == CFrameDecoder::FEED_MORE)
                break;
            out.results.push_back(r);
            if (r == CFrameDecoder::FEED_PACKET)
                out.packets.emplace_back(dec.packet(), dec.packet() + dec.packetLength());
        }
    }
    return out;
}

CFrameDecoder makeDecoder()
{
    return CFrameDecoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
}

// The decoding rules one byte at a time, to hold the word-at-a-time decoder to.
struct ReferenceDecoder
{
    size_t cap = FRAME_NOMINAL_SIZE;
    int state = 0;
    Bytes buf;
    Decoded out;
    void feed(uint8_t c)
    {
        auto store = [&](uint8_t b)
        {
            if (buf.size() >= cap)
            {
                state = 3;
                out.results.push_back(1);
                return;
            }
            buf.push_back(b);
            state = 0;
        };
        if (state == 3)
        {
            if (c == FRAME_END)
            {
                state = 0;
                buf.clear();
            }
        }
        else if (state == 1)
        {
            if (c == FRAME_ESC_END || c == FRAME_ESC)
                store(c == FRAME_ESC ? FRAME_ESC : FRAME_END);
            else
            {
                state = 3;
                out.results.push_back(3);
            }
        }
        else if (c == FRAME_END)
        {
            out.results.push_back(2);
            out.packets.push_back(buf);
            buf.clear();
        }
        else if (c == FRAME_ESC)
        {
            state = 1;
        }
        else
        {
            store(c);
        }
    }
};

// Each byte a framing byte with probability permille/1000, any of the three,
// and otherwise a plain one.
Bytes mixedBytes(std::mt19937& rng, size_t size, uint32_t permille)
{
    static const uint8_t framing[] = {FRAME_END, FRAME_ESC, FRAME_ESC_END};
    Bytes b(size);
    for (auto& c : b)
    {
        uint8_t plain = uint8_t(rng());
        c = rng() % 1000 < permille                    ? framing[rng() % 3]
            : plain == FRAME_END || plain == FRAME_ESC ? 0x41
                                                       : plain;
    }
    return b;
}

// The escaping rules one byte at a time into at most cap bytes; false at the
// first byte that does not fit, with as much written as fits.
bool referenceEncode(Bytes& out, size_t cap, const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
    {
        bool escaped = p[i] == FRAME_END || p[i] == FRAME_ESC;
        const uint8_t pair[2] = {escaped ? FRAME_ESC : p[i], p[i] == FRAME_END ? FRAME_ESC_END : FRAME_ESC};
        for (int k = 0; k <= int(escaped); ++k)
        {
            if (out.size() >= cap)
                return false;
            out.push_back(pair[k]);
        }
    }
    return true;
}

// The encoder against the reference, the data given in two calls.
void expectEncoderMatches(const Bytes& data, uint32_t nominal, size_t first)
{
    CFrameEncoder enc(FRAME_END, FRAME_ESC, FRAME_ESC_END, nominal);
    Bytes want;
    bool wantOk = referenceEncode(want, enc.capacity(), data.data(), first) &&
                  referenceEncode(want, enc.capacity(), data.data() + first, data.size() - first);
    bool ok = enc.encode(data.data(), uint32_t(first)) &&
              enc.encode(data.data() + first, uint32_t(data.size() - first));
    ASSERT_EQ(ok, wantOk) << "nominal " << nominal << ", first " << first;
    ASSERT_EQ(Bytes(enc.data(), enc.data() + enc.size()), want)
        << "nominal " << nominal << ", first " << first;
}

// The decoder against the reference, the wire fed in pieces ending at the cuts.
void expectDecoderMatches(const Bytes& wire, uint32_t nominal, std::vector<size_t> cuts)
{
    ReferenceDecoder ref;
    ref.cap = nominal;
    for (uint8_t c : wire)
        ref.feed(c);
    CFrameDecoder dec(FRAME_END, FRAME_ESC, FRAME_ESC_END, nominal);
    Decoded got;
    cuts.push_back(wire.size());
    for (size_t begin = 0; size_t end : cuts)
    {
        for (uint32_t pos = 0; pos < end - begin;)
        {
            int r = dec.feed(wire.data() + begin, uint32_t(end - begin), pos);
            if (r == CFrameDecoder::FEED_MORE)
                break;
            got.results.push_back(r);
            if (r == CFrameDecoder::FEED_PACKET)
                got.packets.emplace_back(dec.packet(), dec.packet() + dec.packetLength());
        }
        begin = end;
    }
    ASSERT_EQ(got.results, ref.out.results) << "nominal " << nominal;
    ASSERT_EQ(got.packets, ref.out.packets) << "nominal " << nominal;
}

} // namespace

// Sparse to solid framing bytes, short and long inputs, small buffers and
// random feed splits, so the block scans meet framing bytes at every offset of
// a block and at the edges of the input and the buffer.
TEST(FrameCodecTest, BlockScansMatchByteWiseRules)
{
    std::mt19937 rng(29);
    const uint32_t densities[] = {0, 4, 8, 60, 250, 500, 1000};
    for (int round = 0; round < 1500; ++round)
    {
        size_t size = round % 16 == 0 ? 1000 + rng() % 40000 : rng() % 201;
        Bytes data = mixedBytes(rng, size, densities[round % 7]);
        uint32_t nominal = round % 3 == 0 ? 1 + uint32_t(rng() % (size + 1)) : FRAME_NOMINAL_SIZE;
        ASSERT_NO_FATAL_FAILURE(expectEncoderMatches(data, nominal, rng() % (size + 1))) << "round " << round;

        // Escaped (packets, some too long for a small buffer) or raw (bad
        // escapes, stray frame ends).
        Bytes wire = data;
        if (round % 2 == 0)
        {
            wire.clear();
            referenceEncode(wire, SIZE_MAX, data.data(), size);
        }
        if (round % 4 == 0)
            wire.push_back(FRAME_END);
        std::vector<size_t> cuts;
        for (size_t cut = rng() % 300; cut < wire.size(); cut += 1 + rng() % (round % 2 ? 300 : 8))
            cuts.push_back(cut);
        uint32_t decNominal = round % 3 == 1 ? 1 + uint32_t(rng() % 200) : FRAME_NOMINAL_SIZE;
        ASSERT_NO_FATAL_FAILURE(expectDecoderMatches(wire, decNominal, cuts)) << "round " << round;
    }
}

// A lone framing byte at every offset of a plain run, against buffers that end
// around it and feeds cut anywhere up to a block before it; then framing bytes
// only from that offset on, the densest a block gets: the edges of blocks,
// buffers and inputs.
TEST(FrameCodecTest, LoneFramingByteAtEveryOffset)
{
    for (uint8_t special : {FRAME_END, FRAME_ESC})
        for (size_t at = 0; at < 140; ++at)
        {
            Bytes data(140, 0x41);
            data[at] = special;
            Bytes wire;
            referenceEncode(wire, SIZE_MAX, data.data(), data.size());
            wire.push_back(FRAME_END);
            for (size_t cut = at > 66 ? at - 66 : 0; cut <= at + 3; ++cut)
                for (uint32_t nominal : {FRAME_NOMINAL_SIZE, 139u})
                    ASSERT_NO_FATAL_FAILURE(expectDecoderMatches(wire, nominal, {cut}))
                        << "at " << at << ", cut " << cut;
            for (bool solid : {false, true})
            {
                if (solid)
                    std::fill(data.begin() + at, data.end(), special);
                for (uint32_t nominal = 1; nominal <= 72; ++nominal)
                    for (size_t first : {0, 1})
                        ASSERT_NO_FATAL_FAILURE(expectEncoderMatches(data, nominal, first))
                            << "at " << at << (solid ? ", solid" : "");
            }
        }
}

TEST(FrameCodecTest, MatchesByteWiseRulesOnRandomStreams)
{
    std::mt19937 rng(11);
    int seen[4] = {};
    for (int round = 0; round < 200; ++round)
    {
        // Long plain runs (to overflow), rare and frequent framing bytes, bad escapes.
        Bytes wire;
        size_t size = round % 4 == 0 ? 20000 + rng() % 20000 : rng() % 40000;
        uint32_t specials = round % 4 == 0 ? 200000 : 1 + rng() % 400;
        for (size_t i = 0; i < size; ++i)
        {
            uint32_t r = rng() % specials;
            uint8_t plain = uint8_t(rng());
            if (plain == FRAME_END || plain == FRAME_ESC)
                plain = 0x20;
            wire.push_back(r == 0 ? FRAME_END : r == 1 ? FRAME_ESC : r == 2 ? FRAME_ESC_END : plain);
        }
        ReferenceDecoder ref;
        for (uint8_t c : wire)
            ref.feed(c);
        CFrameDecoder dec = makeDecoder();
        Decoded got = decodeAll(dec, wire, 1 + rng() % 5000);
        ASSERT_EQ(got.results, ref.out.results) << "round " << round;
        ASSERT_EQ(got.packets, ref.out.packets) << "round " << round;
        for (int r : got.results)
            ++seen[r];
    }
    for (int r = 1; r <= 3; ++r)
        EXPECT_GT(seen[r], 0) << "no result " << r << " was exercised";
}

TEST(FrameCodecTest, EscapesFramingBytes)
{
    EXPECT_EQ(encode({0xC1, 0xC5, 0x41}), (Bytes{0xC5, 0xD5, 0xC5, 0xC5, 0x41, 0xC1}));
    EXPECT_EQ(encode({}), (Bytes{0xC1}));
}

TEST(FrameCodecTest, EncoderMatchesReferenceAndRoundTrips)
{
    std::mt19937 rng(1);
    for (size_t size : {1u, 7u, 15u, 16u, 17u, 31u, 100u, 1000u, 16384u})
    {
        Bytes packet = randomPacket(rng, size);
        Bytes wire = encode(packet);
        ASSERT_EQ(wire, peerEncodeFrame(packet)) << size;
        for (size_t piece : {size_t(1), size_t(5), wire.size()})
        {
            CFrameDecoder dec = makeDecoder();
            Decoded d = decodeAll(dec, wire, piece);
            ASSERT_EQ(d.results, std::vector<int>{CFrameDecoder::FEED_PACKET});
            ASSERT_EQ(d.packets[0], packet) << size << " in pieces of " << piece;
        }
    }
}

TEST(FrameCodecTest, EncoderRefusesWhatDoesNotFit)
{
    CFrameEncoder enc(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    Bytes allEnd(FRAME_NOMINAL_SIZE, FRAME_END);
    enc.reset();
    EXPECT_TRUE(enc.encode(allEnd.data(), uint32_t(allEnd.size()))); // exactly 32768 bytes
    EXPECT_EQ(enc.size(), FRAME_ENCODED_SIZE);
    EXPECT_FALSE(enc.finish());
    enc.reset();
    Bytes tooMany(FRAME_NOMINAL_SIZE + 1, FRAME_ESC);
    EXPECT_FALSE(enc.encode(tooMany.data(), uint32_t(tooMany.size())));
    EXPECT_LE(enc.size(), enc.capacity());
}

TEST(FrameCodecTest, TwoPacketsInOneInput)
{
    Bytes wire = peerEncodeFrame({1, 2, 3});
    Bytes second = peerEncodeFrame({0xC1, 9});
    wire.insert(wire.end(), second.begin(), second.end());
    CFrameDecoder dec = makeDecoder();
    Decoded d = decodeAll(dec, wire, wire.size());
    ASSERT_EQ(d.packets.size(), 2u);
    EXPECT_EQ(d.packets[0], (Bytes{1, 2, 3}));
    EXPECT_EQ(d.packets[1], (Bytes{0xC1, 9}));
}

TEST(FrameCodecTest, BadEscapeSkipsToNextFrameEnd)
{
    Bytes wire = {0x10, 0xC5, 0x41, 0x42, 0xC5, 0xC1};
    Bytes next = peerEncodeFrame({7, 8});
    wire.insert(wire.end(), next.begin(), next.end());
    for (size_t piece : {size_t(1), wire.size()})
    {
        CFrameDecoder dec = makeDecoder();
        Decoded d = decodeAll(dec, wire, piece);
        EXPECT_EQ(d.results, (std::vector<int>{CFrameDecoder::FEED_BAD_ESCAPE, CFrameDecoder::FEED_PACKET}));
        ASSERT_EQ(d.packets.size(), 1u);
        EXPECT_EQ(d.packets[0], (Bytes{7, 8}));
    }
}

TEST(FrameCodecTest, LongestPacketFitsAndOneMoreOverflows)
{
    std::mt19937 rng(3);
    Bytes longest = randomPacket(rng, FRAME_NOMINAL_SIZE);
    Bytes tooLong = randomPacket(rng, FRAME_NOMINAL_SIZE + 1);
    Bytes wire = peerEncodeFrame(longest);
    for (Bytes part : {peerEncodeFrame(tooLong), peerEncodeFrame({5, 6})})
        wire.insert(wire.end(), part.begin(), part.end());
    for (size_t piece : {size_t(3), size_t(4096), wire.size()})
    {
        CFrameDecoder dec = makeDecoder();
        Decoded d = decodeAll(dec, wire, piece);
        EXPECT_EQ(d.results, (std::vector<int>{CFrameDecoder::FEED_PACKET, CFrameDecoder::FEED_OVERFLOW,
                                               CFrameDecoder::FEED_PACKET}));
        ASSERT_EQ(d.packets.size(), 2u);
        EXPECT_EQ(d.packets[0], longest);
        EXPECT_EQ(d.packets[1], (Bytes{5, 6}));
    }
}

TEST(FrameCodecTest, EmptyFrameIsAnEmptyPacket)
{
    CFrameDecoder dec = makeDecoder();
    Decoded d = decodeAll(dec, {0xC1, 0xC1}, 2);
    EXPECT_EQ(d.packets, (std::vector<Bytes>{{}, {}}));
}
