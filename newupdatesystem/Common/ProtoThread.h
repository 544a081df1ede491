// The packet protocol between the update client and its server, on top of the
// socket thread: framing, 8-byte packet heads with four-letter tags, chunked
// CRC-checked transfers acknowledged one by one, NUL-terminated text messages,
// and the thread's course of work (open the session once, then run in steps).
// Every failure is a CProtoExcep (or a CSocketExcep from below); the server's
// "Quit", "Busy", "Acss" and "Rjtd" raise wherever they arrive. The packet
// level is the CPacketChannel the server's sessions use too; this class gives
// it the socket and the thread's stop request, which every wait checks within
// one select time-out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "newupdatesystem/Common/PacketChannel.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "newupdatesystem/Common/SocketThread.h"
#include "platform/Tls.h"

class CDataFile;

class CProtoThread : public CSocketThread
{
public:
    // Not auto-deleting; I/O time-out 30 s: a packet must go out, and a whole
    // packet come in, within it.
    CProtoThread();
    ~CProtoThread() override;

    static constexpr double kIoTimeout = 30.0;

protected:
    // For tests only: a shorter I/O time-out.
    explicit CProtoThread(double ioTimeout);

    // --- sending

    // Encodes head and data as one packet into one frame and sends all of it
    // within the I/O time-out. PROTO_PACKET when the frame does not fit,
    // PROTO_TIMEOUT when the send does not finish in time.
    void sendPacket(const void* head, uint32_t headLength, const void* data = nullptr,
                    uint32_t dataLength = 0);
    void sendMsg(uint32_t tag);
    void sendInit(uint32_t sessionKind, uint32_t version);
    void sendText(uint32_t tag, const std::string& text);
    void sendModify(uint32_t operation, const std::string& path, uint32_t value);
    // Sends the bytes as chunks of at most CHUNK_MAX_SIZE. A "Data" chunk waits
    // for "Ackn" (next chunk) or "Rept" (the same chunk again), and the transfer
    // ends with "EndF"; a "Get " request awaits nothing.
    void sendData(uint32_t tag, uint32_t subtag, const void* bytes, uint32_t length);
    void sendGetRequest(uint32_t subtag, const std::string& name);
    void sendFileData(uint32_t subtag, const CDataFile& buffer);

    // --- receiving; each works on the current packet, which stays available
    // until the next receive

    // Receives the next packet; words (when given) get its first two words.
    void recvPacket(uint32_t* words = nullptr);
    uint32_t packetLength() const { return m_channel.packetLength(); }
    const uint8_t* packetData() const { return m_channel.packetData(); }
    uint32_t packetTag() const { return m_channel.packetTag(); }
    // True when the current packet is a 16-byte "Init"; words then get its
    // four words.
    bool recvInit(uint32_t words[4]);
    // Validates the current packet as a chunk of the expected subtag (0: any,
    // then set) at the expected offset. A good "Data" chunk is acknowledged and
    // its content handed out (a pointer into the current packet); a bad CRC is
    // answered "Rept" and hands out nullptr, 0.
    void processDataPacket(uint32_t& subtag, uint32_t offset, const uint8_t*& content, uint32_t& length);
    // Receives a whole "Data" transfer into buffer (replacing its contents), after
    // reserving reserveSize.
    void recvFile(uint32_t subtag, CDataFile& buffer, uint32_t reserveSize);
    // Receives a whole "Data" transfer chunk by chunk: sink gets each verified
    // chunk in order. The total received.
    uint32_t recvChunks(uint32_t subtag, const CPacketChannel::ChunkSink& sink);
    void recvChecksum(uint8_t checksum[16]);
    // True for the first tag, false for the second, PROTO_PROTO for any other.
    bool recvAckMsg(uint32_t first, uint32_t second);
    // The NUL-terminated text of the current packet from offset.
    void parseTextMsg(uint32_t offset, std::string& text);

    // MD5 over the stored "PswK" challenge and the password.
    void makeAuthDigest(const char* password, uint8_t digest[16]) const;
    void setChallenge(const uint8_t challenge[8]);

    // --- course of work
    void onStart() override;
    bool step() override;
    virtual bool protoHandshake() = 0;
    virtual bool protoProcess() = 0;
    virtual void onProtoExcep(const CProtoExcep& e);
    virtual void onSocketExcep(const CSocketExcep& e);
    virtual void onTraffic(uint32_t sent, uint32_t received);
    // The first bytes of the connection; false hands the connection over (the
    // socket is detached) and raises PROTO_PLUGIN.
    virtual bool onFirstData(const uint8_t* bytes, uint32_t count);

    // For fuzzing and tests: makes a packet current as if it had been received
    // (any partly received frame is dropped). False when it does not fit.
    bool loadPacket(const void* bytes, uint32_t length);

    // The packet level itself, for exchanges that work on it directly.
    CPacketChannel& packetChannel() { return m_channel; }

    // The private channel (ProtoThreadTls.cpp). startTls runs the client's
    // TLS handshake on the connection within the I/O time-out, checking the
    // certificate against host; from then on every byte travels inside.
    // A refused certificate or a failed handshake is logged and raises
    // PROTO_TLS. endTls forgets the channel of an earlier connection.
    void startTls(const std::shared_ptr<platform::CTlsContext>& context, const std::string& host);
    void endTls();

private:
    // The channel's connection: the socket thread's socket, its stop request,
    // the first-data hook and the traffic counters.
    class Link : public IPacketLink
    {
    public:
        explicit Link(CProtoThread& owner) : m_owner(owner) {}
        uint32_t sendSome(const uint8_t* bytes, uint32_t length) override;
        uint32_t receiveSome(uint8_t* buffer, uint32_t capacity) override;
        void checkStop() override { m_owner.checkRun(); }
        void onPacket(uint32_t tag, uint32_t length) override;
        void onSent(uint32_t bytes) override { m_owner.onTraffic(bytes, 0); }
        // The socket itself, under TLS or without it.
        uint32_t rawSend(const uint8_t* bytes, uint32_t length);
        uint32_t rawReceive(uint8_t* buffer, uint32_t capacity);

    private:
        CProtoThread& m_owner;
    };

    CAsyncTcp& requireSocket(const char* function) const;

    // The TLS session's connection: the socket as the link reaches it, with
    // the thread's stop request checked before each wait.
    class TlsLower : public platform::ITlsLower
    {
    public:
        explicit TlsLower(CProtoThread& owner) : m_owner(owner) {}
        uint32_t lowerSend(const uint8_t* bytes, uint32_t length) override;
        uint32_t lowerReceive(uint8_t* buffer, uint32_t capacity) override;

    private:
        CProtoThread& m_owner;
    };
    uint32_t tlsSend(const uint8_t* bytes, uint32_t length);
    uint32_t tlsReceive(uint8_t* buffer, uint32_t capacity);

    Link m_link{*this};
    CPacketChannel m_channel;
    TlsLower m_tlsLower{*this};
    std::unique_ptr<platform::CTlsSession> m_tls;
    uint8_t m_challenge[8] = {};
    bool m_firstData = true;
};
