#include "platform/ServerSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <system_error>

#include "platform/Sockets.h"

namespace platform
{

namespace
{
[[noreturn]] void fail(const std::string& what)
{
    throw std::system_error(WSAGetLastError(), std::system_category(), what);
}

// Handles travel as ints (see SocketsWin32.cpp).
SOCKET native(int fd)
{
    return fd < 0 ? INVALID_SOCKET : SOCKET(unsigned(fd));
}

std::string describe(const sockaddr_in& a)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

// One wait for readability or writability; > 0 ready, 0 time-out, < 0 failure.
int waitFor(int fd, bool write, int timeoutMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(native(fd), &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr,
                    timeoutMs < 0 ? nullptr : &tv);
}
} // namespace

void CServerSocket::listenOn(const std::string& address, uint16_t port, int backlog)
{
    close();
    if (!platform::socketStartup())
        fail("WSAStartup");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::string where = address + ":" + std::to_string(port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1)
    {
        WSASetLastError(WSAEINVAL);
        fail("bad bind address " + address);
    }
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        fail("socket");
    m_fd = int(s);
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    // Windows lets SO_REUSEADDR steal a port in use; exclusive use is the safe
    // equivalent of the POSIX option for a server.
    BOOL one = TRUE;
    if (::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one) !=
        0)
        fail("setsockopt SO_EXCLUSIVEADDRUSE");
    if (m_receiveBuffer > 0 &&
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&m_receiveBuffer),
                     sizeof m_receiveBuffer) != 0)
        fail("setsockopt SO_RCVBUF");
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        fail("bind " + where);
    if (::listen(s, backlog) != 0)
        fail("listen " + where);
    int len = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        fail("getsockname");
    m_boundPort = ntohs(a.sin_port);
}

int CServerSocket::acceptTimeout(int timeoutMs, std::string& peer)
{
    int ready = waitFor(m_fd, false, timeoutMs);
    if (ready < 0)
        fail("select");
    if (ready == 0)
        return -1;
    sockaddr_in a{};
    int len = sizeof a;
    SOCKET client = ::accept(native(m_fd), reinterpret_cast<sockaddr*>(&a), &len);
    if (client == INVALID_SOCKET)
    {
        // The peer may have gone already; anything else (no buffers, no
        // handles) is waited out a little so the caller does not spin.
        int error = WSAGetLastError();
        if (error != WSAECONNRESET && error != WSAEINTR && error != WSAEWOULDBLOCK)
            backOff();
        return -1;
    }
    m_backoffMs = 0;
    SetHandleInformation(reinterpret_cast<HANDLE>(client), HANDLE_FLAG_INHERIT, 0);
    u_long on = 1;
    ::ioctlsocket(client, FIONBIO, &on);
    BOOL noDelay = TRUE;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    peer = describe(a);
    return int(client);
}

void CServerSocket::backOff()
{
    ++m_failures;
    m_backoffMs = m_backoffMs == 0 ? 10 : (m_backoffMs * 2 > 500 ? 500 : m_backoffMs * 2);
    Sleep(DWORD(m_backoffMs));
}

void CServerSocket::close()
{
    if (m_fd >= 0)
        ::closesocket(native(m_fd));
    m_fd = -1;
}

CServerConnection::CServerConnection(int fd) : m_fd(fd) {}

CServerConnection::~CServerConnection()
{
    if (m_fd >= 0)
        ::closesocket(native(m_fd));
}

CServerConnection::Result CServerConnection::receive(void* buffer, size_t size, size_t& got, int timeoutMs)
{
    got = 0;
    int ask = size > size_t(INT32_MAX) ? INT32_MAX : int(size);
    for (;;)
    {
        int n = ::recv(native(m_fd), static_cast<char*>(buffer), ask, 0);
        if (n > 0)
        {
            got = static_cast<size_t>(n);
            return IO_OK;
        }
        if (n == 0)
            return IO_CLOSED;
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return IO_CLOSED;
        int ready = waitFor(m_fd, false, timeoutMs);
        if (ready == 0)
            return IO_TIMEOUT;
        if (ready < 0)
            return IO_CLOSED;
    }
}

CServerConnection::Result CServerConnection::sendAll(const void* bytes, size_t size, int timeoutMs)
{
    const char* p = static_cast<const char*>(bytes);
    while (size > 0)
    {
        int ask = size > size_t(INT32_MAX) ? INT32_MAX : int(size);
        int n = ::send(native(m_fd), p, ask, 0);
        if (n > 0)
        {
            p += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)
            return IO_CLOSED;
        int ready = waitFor(m_fd, true, timeoutMs);
        if (ready == 0)
            return IO_TIMEOUT;
        if (ready < 0)
            return IO_CLOSED;
    }
    return IO_OK;
}

CServerConnection::Result CServerConnection::sendSome(const void* bytes, size_t size, size_t& sent,
                                                      int timeoutMs)
{
    sent = 0;
    const int ask = size > size_t(INT32_MAX) ? INT32_MAX : int(size);
    for (bool waited = false;; waited = true)
    {
        int n = ::send(native(m_fd), static_cast<const char*>(bytes), ask, 0);
        if (n >= 0)
        {
            sent = static_cast<size_t>(n);
            return IO_OK;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return IO_CLOSED;
        if (waited)
            return IO_TIMEOUT;
        int ready = waitFor(m_fd, true, timeoutMs);
        if (ready < 0)
            return IO_CLOSED;
    }
}

void CServerConnection::shutdownBoth()
{
    ::shutdown(native(m_fd), SD_BOTH);
}

void CServerConnection::finish(int timeoutMs)
{
    ::shutdown(native(m_fd), SD_SEND);
    char sink[4096];
    for (int rounds = 0; rounds < 64; ++rounds)
    {
        size_t got = 0;
        if (receive(sink, sizeof sink, got, timeoutMs) != IO_OK)
            return;
    }
}

} // namespace platform
