#include "platform/Sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

#include "platform/ErrorText.h"

namespace platform
{

namespace
{

// Our handles are ints: socket handles on Windows are kernel handles, which
// fit in 32 bits by the system's own guarantee for 32/64-bit interoperability.
SOCKET native(SocketHandle s)
{
    return s < 0 ? INVALID_SOCKET : SOCKET(unsigned(s));
}

bool setIntOption(SocketHandle s, int level, int option)
{
    BOOL one = TRUE;
    return setsockopt(native(s), level, option, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

} // namespace

bool socketStartup()
{
    static const int result = []
    {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (result != 0)
        WSASetLastError(result);
    return result == 0;
}

SocketHandle socketOpenStream()
{
    if (!socketStartup())
        return kInvalidSocket;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return SocketHandle(s);
}

bool socketSetNonBlocking(SocketHandle s)
{
    u_long on = 1;
    return ioctlsocket(native(s), FIONBIO, &on) == 0;
}

bool socketSetReuseAddress(SocketHandle s)
{
    return setIntOption(s, SOL_SOCKET, SO_REUSEADDR);
}

bool socketSetNoDelay(SocketHandle s)
{
    return setIntOption(s, IPPROTO_TCP, TCP_NODELAY);
}

int socketConnect(SocketHandle s, const SockAddr4& to)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = to.port;
    a.sin_addr.s_addr = to.address;
    if (to.address == 0)
    {
        WSASetLastError(WSAEADDRNOTAVAIL);
        return -1;
    }
    return ::connect(native(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : -1;
}

int socketSelect(SocketHandle s, SelectSets& sets, int32_t seconds, int32_t microseconds)
{
    if (s < 0)
    {
        WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    fd_set readSet, writeSet, exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    if (sets.read)
        FD_SET(native(s), &readSet);
    if (sets.write)
        FD_SET(native(s), &writeSet);
    if (sets.except)
        FD_SET(native(s), &exceptSet);
    timeval tv{seconds, microseconds};
    int r = ::select(0, &readSet, &writeSet, &exceptSet, &tv);
    if (r == SOCKET_ERROR)
        return -1;
    sets.read = sets.read && FD_ISSET(native(s), &readSet);
    sets.write = sets.write && FD_ISSET(native(s), &writeSet);
    sets.except = sets.except && FD_ISSET(native(s), &exceptSet);
    return int(sets.read) + int(sets.write) + int(sets.except);
}

int32_t socketSend(SocketHandle s, const void* data, int32_t length)
{
    int n = ::send(native(s), static_cast<const char*>(data), length, 0);
    return n == SOCKET_ERROR ? -1 : int32_t(n);
}

int32_t socketRecv(SocketHandle s, void* buffer, int32_t length)
{
    int n = ::recv(native(s), static_cast<char*>(buffer), length, 0);
    return n == SOCKET_ERROR ? -1 : int32_t(n);
}

bool socketPair(SocketHandle& first, SocketHandle& second)
{
    SocketHandle listener = socketOpenStream();
    if (listener == kInvalidSocket)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    SocketHandle connecting = kInvalidSocket;
    SocketHandle accepted = kInvalidSocket;
    if (::bind(native(listener), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(native(listener), 1) == 0 &&
        ::getsockname(native(listener), reinterpret_cast<sockaddr*>(&a), &len) == 0)
    {
        connecting = socketOpenStream();
        if (connecting != kInvalidSocket &&
            ::connect(native(connecting), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
        {
            SOCKET s = ::accept(native(listener), nullptr, nullptr);
            if (s != INVALID_SOCKET)
            {
                SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
                accepted = SocketHandle(s);
            }
        }
    }
    int error = WSAGetLastError();
    socketClose(listener);
    if (accepted == kInvalidSocket)
    {
        if (connecting != kInvalidSocket)
            socketClose(connecting);
        WSASetLastError(error);
        return false;
    }
    first = accepted;
    second = connecting;
    return true;
}

void socketShutdownSend(SocketHandle s)
{
    ::shutdown(native(s), SD_SEND);
}

void socketClose(SocketHandle s)
{
    ::closesocket(native(s));
}

int32_t socketPendingError(SocketHandle s, bool& ok)
{
    int value = 0;
    int len = sizeof value;
    ok = s >= 0 && getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &len) == 0;
    return ok ? int32_t(value) : 0;
}

bool parseDottedAddress(const char* host, uint32_t& address)
{
    // inet_addr's forms; its one ambiguous answer is the broadcast address.
    unsigned long a = inet_addr(host);
    if (a == INADDR_NONE)
    {
        if (std::strcmp(host, "255.255.255.255") != 0)
            return false;
    }
    address = uint32_t(a);
    return true;
}

bool lookupHostAddress(const char* host, uint32_t& address)
{
    if (!socketStartup())
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr)
        return false;
    bool found = false;
    for (addrinfo* i = result; i != nullptr; i = i->ai_next)
    {
        if (i->ai_family == AF_INET && i->ai_addrlen >= sizeof(sockaddr_in))
        {
            address = reinterpret_cast<const sockaddr_in*>(i->ai_addr)->sin_addr.s_addr;
            found = true;
            break;
        }
    }
    freeaddrinfo(result);
    return found;
}

std::string formatDottedAddress(uint32_t address)
{
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

} // namespace platform
