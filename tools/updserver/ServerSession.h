// One client connection, served on its own thread from "Init" to "Quit":
// the handshake with the login challenge, file and checksum requests,
// operator commands and, in modification mode, changes to the content tree.
// Everything the client sends is checked before use; a client that breaks the
// protocol loses its own session and nothing else.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/PacketChannel.h"
#include "platform/ServerSocket.h"
#include "tools/updserver/SessionProgress.h"
#include "tools/updserver/StreamSender.h"

class CTlsTransport;
class CUpdServer;
class CUploadStore;
struct ContentSnapshot;

// What a session talks through: the accepted socket, or bytes in memory for
// the fuzzer. Every wait is bounded by the time-out given.
class ISessionTransport
{
public:
    virtual ~ISessionTransport() = default;
    virtual platform::CServerConnection::Result receive(void* buffer, size_t size, size_t& got,
                                                        int timeoutMs) = 0;
    virtual platform::CServerConnection::Result sendSome(const void* bytes, size_t size, size_t& sent,
                                                         int timeoutMs) = 0;
    // Wakes a blocked receive or send; safe from another thread.
    virtual void shutdownBoth() = 0;
    // Ends our sending and lets the peer read what we sent.
    virtual void finish(int timeoutMs) = 0;
};

class CServerSession
{
public:
    enum Mode
    {
        SERVE,     // a normal session
        BUSY_ONLY, // too many clients: answer the opening with "Busy"
    };

    CServerSession(CUpdServer& server, int fd, std::string peer, Mode mode);
    CServerSession(CUpdServer& server, std::unique_ptr<ISessionTransport> transport, std::string peer,
                   Mode mode);
    ~CServerSession();

    // Serves the connection until it ends; never throws.
    void run();
    // Makes a blocked run() return soon; callable from any thread.
    void interrupt() { m_connection->shutdownBoth(); }

    Mode mode() const { return m_sessionMode; }
    const std::string& peerName() const { return m_peer; }

    // True once the client sent its first request after the opening: until
    // then the server's handshake deadline applies.
    bool opened() const { return m_isOpened.load(); }
    // The release the session was served from; empty before it asked for a file.
    std::string releaseName() const;
    std::chrono::steady_clock::time_point startedAt() const { return m_started; }
    // What the client took (acknowledged) or uploaded so far.
    CSessionProgress& progress() { return m_progress; }
    // Logged in with an account: an operator, whose session never yields.
    bool trusted() const { return m_isTrusted.load(); }

    // "SRep" a session may send in all, whatever the segments.
    static constexpr unsigned kMaxStreamRepeats = 64;

private:
    struct End // the session is over, for the reason already logged
    {
    };

    // The channel's connection: bounded waits on the accepted socket; a
    // closed connection ends the session, broken frames are skipped.
    class Link : public IPacketLink
    {
    public:
        explicit Link(CServerSession& session) : m_session(session) {}
        uint32_t sendSome(const uint8_t* bytes, uint32_t length) override;
        uint32_t receiveSome(uint8_t* buffer, uint32_t capacity) override;
        bool skipBrokenPacket(uint32_t length) override;
        void onSent(uint32_t bytes) override;
        void onPacket(uint32_t tag, uint32_t length) override;
        // Sent bytes an "Ackn" confirms when it comes.
        uint64_t m_unconfirmed = 0;
        // While streaming, bytes count once the socket took them: a segment
        // may take longer than a window on a slow line, and a client that
        // stops reading stops the sending.
        bool m_streaming = false;

    private:
        CServerSession& m_session;
    };

    // Packet level.
    void recvPacket();
    uint32_t tag() const;
    void sendPacket(const void* head, uint32_t headLength, const void* data = nullptr,
                    uint32_t dataLength = 0);
    void sendMsg(uint32_t tag);
    [[noreturn]] void violation(const char* what);
    // Ends the session for a failure of the channel; what names a violation.
    [[noreturn]] void channelFailure(const CProtoExcep& e, const char* what);
    bool takeText(uint32_t offset, std::string& text) const;

    // Session.
    bool handshake();
    void sendChallenge();
    void serve();
    void onAuth();
    void onGet();
    void onGetChecksum();
    void onCommand();
    void onModify();
    void onStreamOpen();
    void onStreamGet();
    bool openStream(const CStreamSender::Request& request, CStreamSender::Source& source);
    bool openList(const CStreamSender::Request& request, CStreamSender::Source& source);
    // ServerSessionIndex.cpp: a file's chunk index, answered like a list.
    bool openIndex(const CStreamSender::Request& request, CStreamSender::Source& source);
    void limitStream(CStreamSender& sender);
    bool receiveUpload(CUploadStore* store);
    bool storeUpload(const std::string& path, uint32_t time);
    void sendData(uint32_t subtag, const uint8_t* bytes, uint32_t length);
    void closeGracefully();
    // The private channel (ServerSessionTls.cpp).
    static std::unique_ptr<ISessionTransport> withTls(CUpdServer& server,
                                                      std::unique_ptr<ISessionTransport> transport);
    bool tlsGate();
    void onTlsOpen();

    CUpdServer& m_server;
    std::unique_ptr<ISessionTransport> m_connection;
    CTlsTransport* m_tls = nullptr; // m_connection, when the server offers TLS
    std::string m_peer;
    Mode m_sessionMode;
    Link m_link{*this};
    CPacketChannel m_channel;

    uint32_t m_kind = 0;
    uint8_t m_challenge[8] = {};
    bool m_loggedIn = false;
    std::string m_userName;
    bool m_modifying = false;
    bool m_streaming = false;
    std::shared_ptr<const ContentSnapshot> m_snapshot;
    std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    std::atomic<bool> m_isOpened{false};
    std::atomic<bool> m_isTrusted{false};
    CSessionProgress m_progress{m_started};
    unsigned m_repeatsUsed = 0;
};
