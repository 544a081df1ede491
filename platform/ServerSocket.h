// The server side of TCP over IPv4: a listening socket that accepts with a
// time-out, and the accepted connection with bounded waits. Failures of
// setting up are thrown as std::system_error with the operation named; the
// connection reports its failures through return values, because a peer that
// goes away is an everyday event for a server, not an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform
{

class CServerSocket
{
public:
    CServerSocket() = default;
    ~CServerSocket() { close(); }
    CServerSocket(const CServerSocket&) = delete;
    CServerSocket& operator=(const CServerSocket&) = delete;

    // Binds address:port (port 0 lets the system choose) and listens.
    void listenOn(const std::string& address, uint16_t port, int backlog);
    // Before listenOn: the receive buffer of the accepted connections, in
    // bytes (0 leaves the system's default). Tests make it small.
    void setReceiveBufferSize(int bytes) { m_receiveBuffer = bytes; }
    // The port actually bound.
    uint16_t port() const { return m_boundPort; }

    // A new connection's descriptor, or -1 when none arrived within
    // timeoutMs (or the wait was interrupted by a signal). The peer's
    // "address:port" goes to peer. When accepting fails (descriptors or
    // memory run out) the call waits a little, longer after each failure in
    // a row, so the caller does not spin; a connection that cannot be taken
    // for want of descriptors is closed rather than left pending.
    int acceptTimeout(int timeoutMs, std::string& peer);
    void close();
    // Accepts that failed since listening.
    unsigned acceptFailures() const { return m_failures; }

private:
    // After a failed accept: the wait before the next, doubling up to a limit.
    void backOff();

    int m_fd = -1;
    uint16_t m_boundPort = 0;
    int m_receiveBuffer = 0;
    int m_spareFd = -1; // held back, so that a connection can be taken and closed at the limit
    int m_backoffMs = 0;
    unsigned m_failures = 0;
};

class CServerConnection
{
public:
    explicit CServerConnection(int fd);
    ~CServerConnection();
    CServerConnection(const CServerConnection&) = delete;
    CServerConnection& operator=(const CServerConnection&) = delete;

    enum Result
    {
        IO_OK,
        IO_TIMEOUT, // nothing moved within the time-out
        IO_CLOSED,  // the peer closed the connection or it broke
    };

    // At least one byte into buffer (count in got), waiting at most timeoutMs.
    Result receive(void* buffer, size_t size, size_t& got, int timeoutMs);
    // All bytes; timeoutMs limits each wait for the socket to take more.
    Result sendAll(const void* bytes, size_t size, int timeoutMs);
    // As many bytes as the socket takes (count in sent), waiting at most
    // timeoutMs for it to take any.
    Result sendSome(const void* bytes, size_t size, size_t& sent, int timeoutMs);
    // Wakes a thread blocked in receive or sendAll; safe from another thread.
    void shutdownBoth();
    // Ends our sending and reads what the peer still sends until it closes or
    // timeoutMs passes, so that closing does not reset the connection and
    // destroy our last packet before the peer has read it.
    void finish(int timeoutMs);

private:
    int m_fd;
};

} // namespace platform
