// The scripted peer's packet and frame building: no sockets, so that the
// frame tests run wherever the code under test does.
#include "support/ScriptedPeer.h"

#include <zlib.h>

namespace
{

constexpr uint8_t kEnd = 0xC1;
constexpr uint8_t kEsc = 0xC5;
constexpr uint8_t kEscEnd = 0xD5;

void putWord(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

} // namespace

uint32_t peerTag(const char (&text)[5])
{
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

Bytes peerEncodeFrame(const Bytes& packet)
{
    Bytes out;
    for (uint8_t c : packet)
    {
        if (c == kEnd)
        {
            out.push_back(kEsc);
            out.push_back(kEscEnd);
        }
        else if (c == kEsc)
        {
            out.push_back(kEsc);
            out.push_back(kEsc);
        }
        else
        {
            out.push_back(c);
        }
    }
    out.push_back(kEnd);
    return out;
}

Bytes peerPacket(uint32_t first, uint32_t tag, const Bytes& body)
{
    Bytes p;
    putWord(p, first);
    putWord(p, tag);
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

Bytes peerChunk(uint32_t tag, uint32_t subtag, uint32_t offset, const Bytes& content,
                std::optional<uint32_t> crc)
{
    Bytes body;
    putWord(body, subtag);
    putWord(body, uint32_t(content.size()));
    putWord(body, offset);
    putWord(body, crc ? *crc : uint32_t(::crc32(0, content.data(), uInt(content.size()))));
    body.insert(body.end(), content.begin(), content.end());
    return peerPacket(0x04080901, tag, body);
}

uint32_t peerWord(const Bytes& packet, size_t offset)
{
    if (offset + 4 > packet.size())
        return 0;
    return uint32_t(packet[offset]) | uint32_t(packet[offset + 1]) << 8 | uint32_t(packet[offset + 2]) << 16 |
           uint32_t(packet[offset + 3]) << 24;
}
