#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/ErrorText.h"

namespace platform
{

namespace
{

// Records errno as the thread's WinSock-numbered last socket error.
void storeErrno()
{
    setLastSocketError(winsockFromErrno(errno));
}

bool setIntOption(SocketHandle s, int level, int option)
{
    int one = 1;
    if (setsockopt(s, level, option, &one, sizeof one) == 0)
        return true;
    storeErrno();
    return false;
}

} // namespace

bool socketStartup()
{
    return true;
}

SocketHandle socketOpenStream()
{
    SocketHandle s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        storeErrno();
    return s;
}

bool socketSetNonBlocking(SocketHandle s)
{
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0)
    {
        storeErrno();
        return false;
    }
    return true;
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
    if (to.address == 0)
    {
        // Linux would take 0.0.0.0 as this host; an unresolvable name must not
        // silently reach a local service.
        errno = EADDRNOTAVAIL;
        storeErrno();
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = to.port;
    a.sin_addr.s_addr = to.address;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
        return 0;
    storeErrno();
    return -1;
}

int socketSelect(SocketHandle s, SelectSets& sets, int32_t seconds, int32_t microseconds)
{
    if (s < 0)
    {
        setLastSocketError(winsockFromErrno(ENOTSOCK));
        return -1;
    }
    pollfd p{};
    p.fd = s;
    p.events = short((sets.read ? POLLIN : 0) | (sets.write ? POLLOUT : 0));
    // Round up so that a wait never ends before its time.
    int64_t ms = int64_t(seconds) * 1000 + (int64_t(microseconds) + 999) / 1000;
    int r = ::poll(&p, 1, int(ms));
    if (r < 0)
    {
        if (errno == EINTR)
        {
            sets = {};
            return 0;
        }
        storeErrno();
        return -1;
    }
    if (p.revents & POLLNVAL)
    {
        setLastSocketError(winsockFromErrno(ENOTSOCK));
        return -1;
    }
    bool error = (p.revents & POLLERR) != 0;
    bool hangup = (p.revents & POLLHUP) != 0;
    // WinSock puts a failed connect into the exception set only; where nobody
    // asks for exceptions, an error makes the socket ready so that the next
    // call fails and reports it.
    bool except = sets.except && error;
    bool write = sets.write && !except && ((p.revents & POLLOUT) || error);
    bool read = sets.read && ((p.revents & POLLIN) || error || hangup);
    sets.read = read;
    sets.write = write;
    sets.except = except;
    return int(read) + int(write) + int(except);
}

int32_t socketSend(SocketHandle s, const void* data, int32_t length)
{
    ssize_t n = ::send(s, data, size_t(length), MSG_NOSIGNAL);
    if (n < 0)
    {
        storeErrno();
        return -1;
    }
    return int32_t(n);
}

int32_t socketRecv(SocketHandle s, void* buffer, int32_t length)
{
    ssize_t n;
    do
    {
        n = ::recv(s, buffer, size_t(length), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
    {
        storeErrno();
        return -1;
    }
    return int32_t(n);
}

bool socketPair(SocketHandle& first, SocketHandle& second)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    {
        storeErrno();
        return false;
    }
    first = fds[0];
    second = fds[1];
    return true;
}

void socketShutdownSend(SocketHandle s)
{
    ::shutdown(s, SHUT_WR);
}

void socketClose(SocketHandle s)
{
    ::close(s);
}

int32_t socketPendingError(SocketHandle s, bool& ok)
{
    int value = 0;
    socklen_t len = sizeof value;
    ok = s >= 0 && getsockopt(s, SOL_SOCKET, SO_ERROR, &value, &len) == 0;
    return ok ? winsockFromErrno(value) : 0;
}

bool parseDottedAddress(const char* host, uint32_t& address)
{
    in_addr a{};
    if (inet_aton(host, &a) == 0)
        return false;
    address = a.s_addr;
    return true;
}

bool lookupHostAddress(const char* host, uint32_t& address)
{
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
