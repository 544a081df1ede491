// A TCP socket handle with its options, remote address and readiness-wait time.
#pragma once

#include <cstdint>

#include "platform/Sockets.h"

inline constexpr uint32_t TCP_NODELAY_FLAG = 1;   // switch Nagle's algorithm off
inline constexpr uint32_t TCP_REUSEADDR_FLAG = 2; // allow reuse of the local address

class CBasicTcp
{
public:
    explicit CBasicTcp(uint32_t optionFlags);
    // Closes the socket.
    virtual ~CBasicTcp();
    CBasicTcp(const CBasicTcp&) = delete;
    CBasicTcp& operator=(const CBasicTcp&) = delete;

    // Creates an IPv4 stream socket and applies the options. Throws CSocketExcep
    // NET_OPEN_SOCKET or NET_SET_OPT (after closing the new socket).
    void openSocket(bool nonBlocking);
    // Shuts the sending direction down and closes; does nothing without a socket.
    void close();
    // Forgets the handle without closing it: another owner takes it over.
    void detach() { m_sock = platform::kInvalidSocket; }

    platform::SocketHandle getSocket() const { return m_sock; }
    const platform::SockAddr4& getRemoteAddress() const { return m_remoteAddress; }
    int32_t getWaitSeconds() const { return m_waitSeconds; }
    int32_t getWaitMicroseconds() const { return m_waitMicroseconds; }

protected:
    uint32_t m_optionFlags;
    platform::SocketHandle m_sock = platform::kInvalidSocket;
    platform::SockAddr4 m_remoteAddress{};
    int32_t m_waitSeconds = 0;
    int32_t m_waitMicroseconds = 0;
};
