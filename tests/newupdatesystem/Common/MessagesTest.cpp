// Every message and stored head against its bytes as written down in
// docs/protocol.md: encoded to exactly those bytes, decoded back to the same
// fields, and refused when cut short, overlong, of another tag or with a
// broken text.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "newupdatesystem/Common/StoredFormats.h"
#include "newupdatesystem/Common/StreamMessages.h"

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes hex(const char* text)
{
    Bytes out;
    std::string digits;
    for (const char* p = text; *p; ++p)
        if (*p != ' ')
            digits += *p;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

template <size_t N> Bytes bytesOf(const std::array<uint8_t, N>& a)
{
    return Bytes(a.begin(), a.end());
}
Bytes bytesOf(const Bytes& b)
{
    return b;
}

struct Case
{
    const char* name;
    Bytes expected;
    Bytes encoded;
    // Decodes the bytes and encodes the result again.
    std::function<WireCheck(const Bytes& in, Bytes& again)> roundTrip;
    bool fixedSize;
};

template <class M> Case make(const char* name, const M& m, const char* expected, bool fixedSize = true)
{
    return {name, hex(expected), bytesOf(m.encode()),
            [](const Bytes& in, Bytes& again)
            {
                M back;
                WireCheck c = M::decode(in.data(), uint32_t(in.size()), back);
                if (c == WireCheck::OK)
                    again = bytesOf(back.encode());
                return c;
            },
            fixedSize};
}

std::vector<Case> cases()
{
    AuthMsg auth;
    auth.setName("bob");
    for (uint8_t i = 0; i < 16; ++i)
        auth.digest[i] = uint8_t(0x10 + i);
    ChecksumAnswer sum;
    PackStoreHead store{1, 3, 23, 0x11223344, {}};
    for (uint8_t i = 0; i < 16; ++i)
        sum.digest[i] = store.md5[i] = i;
    ResumeState resume{0x500000, {1, 2, 3, 4}, 0x60000000, 0x100000};
    return {
        make("bare", PacketHead{0, TAG_ACKN}, "00000000 41636b6e", false), // heads every packet
        make("Init request", InitRequest{TAG_FILE, PROTOCOL_VERSION}, "01090804 496e6974 46696c65 05000100"),
        make("Init answer", InitAnswer{PROTOCOL_VERSION | SERVER_OFFERS_STREAM, TAG_ACPT},
             "01090804 496e6974 05000101 41637074"),
        make("PswK", ChallengeMsg{{1, 2, 3, 4, 5, 6, 7, 8}}, "01090804 5073774b 0102030405060708"),
        make("Auth", auth,
             "01090804 41757468 626f6200 00000000 00000000 00000000 "
             "10111213 14151617 18191a1b 1c1d1e1f"),
        make("GetS", ChecksumRequest{"list"}, "01090804 47657453 6c697374 00", false),
        make("Cmnd", CommandMsg{"ls"}, "01090804 436d6e64 6c73 00", false),
        make("Echo", EchoMsg{""}, "01090804 4563686f 00", false),
        make("FSum", sum, "01090804 4653756d 00010203 04050607 08090a0b 0c0d0e0f"),
        make("Mdfy", ModifyMsg{TAG_CRDR, 7, "a/b"}, "01090804 4d646679 43724472 07000000 612f62 00", false),
        make("Strm", StreamOpenMsg{STREAM_VERSION, 64u << 20}, "01090804 5374726d 01000000 00000004"),
        make("SGet", StreamRequestMsg{false, 0x0102030405060708, 16, 0x100, "x"},
             "01090804 53476574 0807060504030201 1000000000000000 0001000000000000 7800", false),
        make("SLst", StreamRequestMsg{true, 0, 1u << 26, 1u << 26, "list"},
             "01090804 534c7374 0000000000000000 0000000400000000 0000000400000000 6c69737400", false),
        make("SInf", StreamInfoMsg{0x100000000, STREAM_SEGMENT_SIZE},
             "01090804 53496e66 0000000001000000 00001000"),
        make("SAck", StreamAckMsg{5, 6}, "01090804 5341636b 0500000000000000 0600000000000000"),
        make("SRep", StreamRepeatMsg{0x100000}, "01090804 53526570 0000100000000000"),
        make("ZPck", PackedHead{0, 8}, "5a50636b 00000000 08000000", false), // a stream follows
        make("ZPcS", store,
             "5a506353 01000000 03000000 17000000 44332211 00010203 04050607 08090a0b 0c0d0e0f"),
        make("UPDR", resume,
             "55504452 0000500000000000 01000000 02000000 03000000 04000000 "
             "0000006000000000 0000100000000000 00000000"),
    };
}

} // namespace

TEST(MessagesTest, EachEncodesToItsDocumentedBytesAndDecodesBack)
{
    for (const Case& c : cases())
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.encoded, c.expected);
        Bytes again;
        ASSERT_EQ(c.roundTrip(c.expected, again), WireCheck::OK);
        EXPECT_EQ(again, c.expected);
    }
}

TEST(MessagesTest, FixedSizesRefuseShortLongAndOtherTags)
{
    for (const Case& c : cases())
    {
        SCOPED_TRACE(c.name);
        Bytes ignored;
        Bytes shortOne(c.expected.begin(), c.expected.end() - 1);
        EXPECT_NE(c.roundTrip(shortOne, ignored), WireCheck::OK);
        EXPECT_EQ(c.roundTrip(Bytes(c.expected.begin(), c.expected.begin() + 3), ignored), WireCheck::LENGTH);
        if (c.fixedSize)
        {
            Bytes longOne = c.expected;
            longOne.push_back(0);
            EXPECT_EQ(c.roundTrip(longOne, ignored), WireCheck::LENGTH);
        }
        // A bare message has no tag of its own.
        if (std::string(c.name) != "bare")
        {
            Bytes other = c.expected;
            other[c.name[0] == 'Z' || c.name[0] == 'U' ? 0 : HEAD_TAG_OFFSET] ^= 0x20;
            EXPECT_EQ(c.roundTrip(other, ignored), WireCheck::TAG);
        }
    }
}

TEST(MessagesTest, TextsAndChunkHeadsCheckTheirOwnLengths)
{
    auto check = [](auto message, const Bytes& bytes)
    {
        decltype(message) out;
        return decltype(message)::decode(bytes.data(), uint32_t(bytes.size()), out);
    };
    // A text ends with the packet's last byte, its only NUL.
    EXPECT_EQ(check(EchoMsg{}, hex("01090804 4563686f 6162")), WireCheck::TEXT);
    EXPECT_EQ(check(EchoMsg{}, hex("01090804 4563686f 61620063 00")), WireCheck::TEXT);
    EXPECT_EQ(check(EchoMsg{}, hex("01090804 4563686f")), WireCheck::TEXT);
    // "Mdfy" needs a path of one byte at least; a broken path is told apart.
    EXPECT_EQ(check(ModifyMsg{}, hex("01090804 4d646679 44656c74 00000000 00")), WireCheck::LENGTH);
    EXPECT_EQ(check(ModifyMsg{}, hex("01090804 4d646679 44656c74 00000000 6161")), WireCheck::TEXT);
    // A request's name: 1 to 1024 bytes.
    StreamRequestMsg request{false, 0, 1, 1, std::string(GET_REQUEST_LIMIT, 'n')};
    StreamRequestMsg back;
    Bytes wire = request.encode();
    ASSERT_EQ(StreamRequestMsg::decode(wire.data(), uint32_t(wire.size()), back), WireCheck::OK);
    EXPECT_EQ(back.name, request.name);
    request.name += 'n';
    wire = request.encode();
    EXPECT_EQ(StreamRequestMsg::decode(wire.data(), uint32_t(wire.size()), back), WireCheck::LENGTH);
    request.name = "";
    wire = request.encode();
    EXPECT_EQ(StreamRequestMsg::decode(wire.data(), uint32_t(wire.size()), back), WireCheck::LENGTH);
    // Chunk heads come with content: a head alone is short.
    const auto data = DataChunkHeader{PACKET_SIGNATURE, TAG_DATA, SUBTAG_NRMP, 1, 0, 0}.encode();
    EXPECT_EQ(check(DataChunkHeader{}, bytesOf(data)), WireCheck::LENGTH);
    Bytes withByte = bytesOf(data);
    withByte.push_back('x');
    DataChunkHeader header;
    ASSERT_EQ(DataChunkHeader::decode(withByte.data(), uint32_t(withByte.size()), header), WireCheck::OK);
    EXPECT_TRUE(header.fills(uint32_t(withByte.size())));
    EXPECT_FALSE(header.fills(uint32_t(withByte.size() + 1)));
    EXPECT_FALSE(
        (DataChunkHeader{PACKET_SIGNATURE, TAG_DATA, SUBTAG_NRMP, 0, 0, 0}.fills(DataChunkHeader::SIZE)));
    const auto sdat = StreamChunkHead{0x200000, 0x100000, 0x8000, 1, 0x3FE4, 0xDEADBEEF}.encode();
    EXPECT_EQ(bytesOf(sdat),
              hex("01090804 53446174 0000200000000000 00001000 00800000 01000000 e43f0000 efbeadde"));
    EXPECT_EQ(check(StreamChunkHead{}, bytesOf(sdat)), WireCheck::LENGTH);
    withByte = bytesOf(sdat);
    withByte.push_back('x');
    StreamChunkHead head;
    ASSERT_EQ(StreamChunkHead::decode(withByte.data(), uint32_t(withByte.size()), head), WireCheck::OK);
    EXPECT_EQ(bytesOf(head.encode()), bytesOf(sdat));
}

TEST(MessagesTest, KeptSegmentImagesAndKeys)
{
    Bytes image = bytesOf(PackedHead{100, 3}.encode());
    image.insert(image.end(), {1, 2, 3});
    EXPECT_TRUE(SegmentImage::holdsStream(image.data(), uint32_t(image.size()), 100));
    EXPECT_FALSE(SegmentImage::holdsStream(image.data(), uint32_t(image.size()), 99));
    EXPECT_FALSE(SegmentImage::holdsStream(image.data(), uint32_t(image.size() - 1), 100));
    EXPECT_FALSE(SegmentImage::marksStored(image.data(), uint32_t(image.size()), 100));
    const Bytes stored = bytesOf(PackedHead{100, 0}.encode());
    EXPECT_TRUE(SegmentImage::marksStored(stored.data(), uint32_t(stored.size()), 100));
    EXPECT_FALSE(SegmentImage::holdsStream(stored.data(), uint32_t(stored.size()), 100));

    SegmentKeySource key{{}, 0x100000, 0x8000};
    key.fileMd5[0] = 0xAB;
    EXPECT_EQ(bytesOf(key.encode()),
              hex("73656731 ab000000 00000000 00000000 00000000 0000100000000000 00800000"));
}
