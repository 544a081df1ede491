// A scripted server on loopback for protocol tests: it listens on 127.0.0.1 at a
// free port, takes one connection, sends whatever a test asks for (raw bytes,
// frames, packets, chunks) and records every byte the client sends, so that
// tests can check the conversation byte for byte. Its framing is written apart
// from the production codec on purpose.
//
//     ScriptedPeer peer;
//     client.connect("127.0.0.1", peer.port());
//     peer.sendMsg(peerTag("Ackn"));               // may be queued in advance
//     auto packet = peer.nextPacket();               // what the client sent
//
// A handler set with onPacket answers each packet as it arrives, on the peer's
// own thread, for conversations that depend on what the client sends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ServerSocket.h"

using Bytes = std::vector<uint8_t>;

uint32_t peerTag(const char (&text)[5]);
// The bytes of a frame carrying packet (escaped, FRAME_END at the end).
Bytes peerEncodeFrame(const Bytes& packet);
// A packet head {first, tag} followed by body.
Bytes peerPacket(uint32_t first, uint32_t tag, const Bytes& body = {});
// A "Data"/"Get " chunk with its 24-byte header; crc is computed unless given.
Bytes peerChunk(uint32_t tag, uint32_t subtag, uint32_t offset, const Bytes& content,
                std::optional<uint32_t> crc = std::nullopt);
uint32_t peerWord(const Bytes& packet, size_t offset);

class ScriptedPeer
{
public:
    using Handler = std::function<void(const Bytes& packet, ScriptedPeer& peer)>;

    // receiveBuffer > 0 makes the peer's socket buffer small, so that a client's
    // large send is taken only in parts while the peer holds its reading.
    explicit ScriptedPeer(int receiveBuffer = 0);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t port() const { return m_listenPort; }
    // Waits for the client's connection; false when none came in time.
    bool waitConnected(std::chrono::milliseconds deadline = std::chrono::seconds(10));

    // Sending (each waits for the connection first).
    void sendBytes(const Bytes& bytes);
    void sendFrame(const Bytes& packet) { sendBytes(peerEncodeFrame(packet)); }
    void sendPacket(uint32_t first, uint32_t tag, const Bytes& body = {})
    {
        sendFrame(peerPacket(first, tag, body));
    }
    void sendMsg(uint32_t tag) { sendPacket(0, tag); }

    // Called on the peer's thread for every complete frame the client sends.
    // What the handler throws is caught and kept (errors), e.g. an answer to a
    // client that has already closed. A handler that touches its owner's other
    // members needs the peer destroyed first: declare the peer last.
    void onPacket(Handler handler);
    std::vector<std::string> errors() const;

    // While held, the peer reads nothing and the client's bytes pile up.
    void holdReading(bool hold);

    // Everything the client has sent so far.
    Bytes received() const;
    // The next frame the client sent that no nextPacket returned yet; nullopt
    // when none is complete within the deadline.
    std::optional<Bytes> nextPacket(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // Waits until the connection has ended: the client closed it (or
    // closeConnection did).
    bool waitClientClosed(std::chrono::milliseconds deadline = std::chrono::seconds(10));

    // Closes the connection (the client sees an orderly close).
    void closeConnection();

private:
    void serve();
    bool waitLocked(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds deadline,
                    const std::function<bool()>& condition);

    platform::CServerSocket m_listener;
    uint16_t m_listenPort = 0;
    std::unique_ptr<platform::CServerConnection> m_connection;
    bool m_clientClosed = false;
    bool m_stopping = false;
    bool m_held = false;
    Bytes m_recorded;
    std::vector<Bytes> m_frames; // complete frames decoded from recorded
    size_t m_framesTaken = 0;
    Bytes m_partial; // decoder state for frames
    bool m_partialEscape = false;
    Handler m_handler;
    std::vector<std::string> m_handlerErrors;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_worker;
};
