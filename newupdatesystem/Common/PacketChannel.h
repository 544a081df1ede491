// The packet level of the update protocol, shared by both ends of a session:
// framing into a fixed receive buffer, 8-byte packet heads, whole packets
// sent within a deadline, NUL-terminated texts, and chunked CRC-checked
// transfers answered "Ackn" or "Rept". It runs over a small byte link that
// waits in short slices, so a stop request is seen within one slice.
//
// Two deadlines bound what a peer can make us wait: a packet must go out, and
// a complete packet must come in, within the I/O time-out (bytes that never
// form a packet do not extend it), and one chunk is repeated at most
// kMaxChunkRepeats times in a row.
//
// Failures raise CProtoExcep under the operation names the owner gives, so
// each end reports them as its own operations.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "newupdatesystem/Common/AsyncTCP.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FrameCodec.h"
#include "newupdatesystem/Common/ProtoTags.h"

// The connection under a packet channel.
class IPacketLink
{
public:
    virtual ~IPacketLink() = default;

    // Waits at most one short slice for the peer to take bytes; the count
    // taken, 0 when none yet. Raises when the connection is gone.
    virtual uint32_t sendSome(const uint8_t* bytes, uint32_t length) = 0;
    // Waits at most one short slice for bytes; the count received, 0 when none
    // yet. Raises when the connection is gone.
    virtual uint32_t receiveSome(uint8_t* buffer, uint32_t capacity) = 0;
    // Before each wait: raises to abandon the exchange (a stop request).
    virtual void checkStop() {}
    // Each packet received with at least a head; may raise for tags that end
    // the session wherever they arrive.
    virtual void onPacket(uint32_t /*tag*/, uint32_t /*length*/) {}
    // After each whole packet sent, with its frame's size.
    virtual void onSent(uint32_t /*bytes*/) {}
    // A broken frame (bad escape, longer than a packet) or a packet shorter
    // than a head (length given, 0 for a broken frame): true skips it and waits
    // for the next packet, false raises PROTO_PACKET.
    virtual bool skipBrokenPacket(uint32_t /*length*/) { return false; }
};

// The operation names a channel's failures carry (static texts).
struct PacketSites
{
    const char* sendPacket;
    const char* recvPacket;
    const char* processDataPacket;
    const char* recvAckMsg;
    const char* sendData;
};

class CPacketChannel
{
public:
    // A chunk answered "Rept" more often than this in a row, or arriving
    // damaged more often, ends the exchange with PROTO_PROTO: the peer is not
    // trying.
    static constexpr unsigned kMaxChunkRepeats = 8;

    // Each verified chunk of a transfer: content, length, offset in the whole.
    using ChunkSink = std::function<void(const uint8_t* content, uint32_t length, uint32_t offset)>;

    CPacketChannel(IPacketLink& link, const PacketSites& sites, double ioTimeout);
    ~CPacketChannel();
    CPacketChannel(const CPacketChannel&) = delete;
    CPacketChannel& operator=(const CPacketChannel&) = delete;

    double ioTimeout() const { return m_timeout; }

    // --- sending

    // Encodes head and data as one packet into one frame and sends all of it
    // within the I/O time-out. PROTO_PACKET when the frame does not fit,
    // PROTO_TIMEOUT when the peer does not take it in time.
    void sendPacket(const void* head, uint32_t headLength, const void* data = nullptr,
                    uint32_t dataLength = 0);
    // A packet of the head {signature, tag} alone.
    void sendMsg(uint32_t signature, uint32_t tag);
    // Head {PACKET_SIGNATURE, tag}, then the text with its NUL.
    void sendText(uint32_t tag, const std::string& text);
    // Sends the bytes as chunks of at most CHUNK_MAX_SIZE. A "Data" chunk waits
    // for "Ackn" (next chunk) or "Rept" (the same chunk again), and the transfer
    // ends with "EndF"; a "Get " request awaits nothing.
    void sendData(uint32_t tag, uint32_t subtag, const void* bytes, uint32_t length);

    // While gathering, sent frames collect in a buffer that goes out when the
    // next frame would not fit or before the channel waits to receive, so a
    // burst of packets costs few system calls and travels in large segments.
    // The bytes are the same. Turning it off sends what is gathered.
    void setGathering(bool on);
    // Sends what is gathered, within the I/O time-out.
    void flush();
    // Stops gathering and drops what is gathered: the session is ending on a
    // failure, and the peer is not to wait for it.
    void dropGathered();

    // --- receiving; each works on the current packet, which stays available
    // until the next receive

    // Receives the next packet of at least a head. PROTO_TIMEOUT when no such
    // packet completed within the I/O time-out of the first wait for it.
    void recvPacket();
    uint32_t packetLength() const { return m_decoder.packetLength(); }
    const uint8_t* packetData() const { return m_decoder.packet(); }
    // The current packet's tag; 0 when it has no head.
    uint32_t packetTag() const;
    // Received bytes behind the current packet, not yet decoded.
    uint32_t bufferedBytes() const { return m_fill - m_readPos; }
    // True for the first tag, false for the second, PROTO_PROTO for any other.
    bool recvAckMsg(uint32_t first, uint32_t second);
    // Validates the current packet as a chunk of the expected subtag (0: any,
    // then set) at the expected offset. A good "Data" chunk is acknowledged and
    // its content handed out (a pointer into the current packet); a bad CRC is
    // answered "Rept" and hands out nullptr, 0.
    void processDataPacket(uint32_t& subtag, uint32_t offset, const uint8_t*& content, uint32_t& length);
    // Receives a "Data" transfer up to "EndF", handing each verified chunk to
    // sink in order; the total received.
    uint32_t recvChunks(uint32_t& subtag, const ChunkSink& sink);
    // The NUL-terminated text of the current packet from offset, with no NUL
    // inside; false when the packet holds none.
    bool takeText(uint32_t offset, std::string& text) const;

    // Forgets everything received and gathered, for a new connection under
    // the same channel: no byte of the old one is read as the new one's.
    void restart();

    // Makes a packet current as if it had been received (any partly received
    // frame is dropped). False when it does not fit.
    bool loadPacket(const void* bytes, uint32_t length);

private:
    // Sends all of bytes within the I/O time-out.
    void sendAll(const uint8_t* bytes, uint32_t length);

    IPacketLink& m_link;
    PacketSites m_sites;
    double m_timeout;
    CFrameDecoder m_decoder;
    CFrameEncoder m_encoder;
    std::unique_ptr<uint8_t[]> m_recvBuffer;
    bool m_gathering = false;
    std::vector<uint8_t> m_gathered;
    uint32_t m_readPos = 0;
    uint32_t m_fill = 0;
    // Since when a packet is awaited; broken frames leave it running.
    std::optional<CStopwatch> m_awaiting;
    // The chunk last answered "Rept" and how often in a row.
    uint32_t m_reptOffset = 0;
    unsigned m_reptCount = 0;
};
