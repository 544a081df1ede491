// Client-side IPv4 TCP sockets for the socket layer, with WinSock's contract:
// every failure leaves a WinSock error number in the thread's last socket error
// (getLastSocketError), and the readiness wait reports a failed non-blocking
// connect in the exception set, not as writable.
#pragma once

#include <cstdint>
#include <string>

namespace platform
{

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// An IPv4 socket address; port and address in network byte order.
struct SockAddr4
{
    uint16_t family = 0;
    uint16_t port = 0;
    uint32_t address = 0;
};

inline constexpr uint16_t kFamilyInet = 2;

// Starts the system's socket layer (WinSock) once per process; later calls
// only report the first one's result. Every function here calls it.
bool socketStartup();

// kInvalidSocket on failure.
SocketHandle socketOpenStream();
bool socketSetNonBlocking(SocketHandle s);
bool socketSetReuseAddress(SocketHandle s);
bool socketSetNoDelay(SocketHandle s);

// 0 on success, -1 on failure (last socket error set; WSAEWOULDBLOCK while a
// non-blocking connect is in progress). Connecting to 0.0.0.0 fails with
// WSAEADDRNOTAVAIL, as on Windows, instead of reaching the local host.
int socketConnect(SocketHandle s, const SockAddr4& to);

// One wait of at most seconds + microseconds for the asked conditions. Returns
// the number of conditions met (0 on time-out, also after an interrupted wait)
// and clears the flags of those not met; -1 on failure (also for an invalid
// handle, WSAENOTSOCK).
struct SelectSets
{
    bool read = false;
    bool write = false;
    bool except = false;
};
int socketSelect(SocketHandle s, SelectSets& sets, int32_t seconds, int32_t microseconds);

// Count of bytes, or -1 with the last socket error set. Sending never raises
// SIGPIPE; a connection closed by the peer fails with WSAECONNRESET.
int32_t socketSend(SocketHandle s, const void* data, int32_t length);
int32_t socketRecv(SocketHandle s, void* buffer, int32_t length);

void socketShutdownSend(SocketHandle s);

// Two connected stream sockets (socketpair; a loopback TCP pair on Windows),
// for feeding a server session bytes from memory. False with the last socket
// error set when they cannot be made.
bool socketPair(SocketHandle& first, SocketHandle& second);
void socketClose(SocketHandle s);

// The socket's pending (asynchronous) error as a WinSock number; ok false when
// it cannot be read (for example for an invalid handle).
int32_t socketPendingError(SocketHandle s, bool& ok);

// Parses a dotted IPv4 address (the forms inet_addr accepts) into network order.
bool parseDottedAddress(const char* host, uint32_t& address);
// Looks a host name up (IPv4 only, thread-safe); false when it has no address.
bool lookupHostAddress(const char* host, uint32_t& address);
// Dotted decimal text of an address in network order.
std::string formatDottedAddress(uint32_t address);

} // namespace platform
