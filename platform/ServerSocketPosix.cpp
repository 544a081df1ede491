#include "platform/ServerSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace platform
{

namespace
{
[[noreturn]] void fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

std::string describe(const sockaddr_in& a)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}
} // namespace

void CServerSocket::listenOn(const std::string& address, uint16_t port, int backlog)
{
    close();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::string where = address + ":" + std::to_string(port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1)
    {
        errno = EINVAL;
        fail("bad bind address " + address);
    }
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        fail("socket");
    int one = 1;
    if (::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        fail("setsockopt SO_REUSEADDR");
    if (m_receiveBuffer > 0 &&
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &m_receiveBuffer, sizeof m_receiveBuffer) != 0)
        fail("setsockopt SO_RCVBUF");
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        fail("bind " + where);
    if (::listen(m_fd, backlog) != 0)
        fail("listen " + where);
    socklen_t len = sizeof a;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        fail("getsockname");
    m_boundPort = ntohs(a.sin_port);
    if (m_spareFd < 0)
        m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void CServerSocket::backOff()
{
    ++m_failures;
    m_backoffMs = m_backoffMs == 0 ? 10 : std::min(m_backoffMs * 2, 500);
    ::poll(nullptr, 0, m_backoffMs);
}

int CServerSocket::acceptTimeout(int timeoutMs, std::string& peer)
{
    pollfd p{m_fd, POLLIN, 0};
    int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0 && errno == EINTR)
        return -1;
    if (ready < 0)
        fail("poll");
    if (ready == 0)
        return -1;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int client = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0)
    {
        // The peer may have gone already, or descriptors ran out for a moment:
        // neither ends the server.
        if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED)
            return -1;
        if ((errno == EMFILE || errno == ENFILE) && m_spareFd >= 0)
        {
            // The connection stays pending and the listener readable: take it
            // with the spare descriptor and close it, or the loop would spin.
            ::close(m_spareFd);
            int refused = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (refused >= 0)
                ::close(refused);
            m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        backOff();
        return -1;
    }
    m_backoffMs = 0;
    int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    peer = describe(a);
    return client;
}

void CServerSocket::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (m_spareFd >= 0)
        ::close(m_spareFd);
    m_spareFd = -1;
}

CServerConnection::CServerConnection(int fd) : m_fd(fd) {}

CServerConnection::~CServerConnection()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

CServerConnection::Result CServerConnection::receive(void* buffer, size_t size, size_t& got, int timeoutMs)
{
    got = 0;
    for (;;)
    {
        ssize_t n = ::recv(m_fd, buffer, size, 0);
        if (n > 0)
        {
            got = static_cast<size_t>(n);
            return IO_OK;
        }
        if (n == 0)
            return IO_CLOSED;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return IO_CLOSED;
        pollfd p{m_fd, POLLIN, 0};
        int ready = ::poll(&p, 1, timeoutMs);
        if (ready == 0)
            return IO_TIMEOUT;
        if (ready < 0 && errno != EINTR)
            return IO_CLOSED;
    }
}

CServerConnection::Result CServerConnection::sendAll(const void* bytes, size_t size, int timeoutMs)
{
    const char* p = static_cast<const char*>(bytes);
    while (size > 0)
    {
        ssize_t n = ::send(m_fd, p, size, MSG_NOSIGNAL);
        if (n > 0)
        {
            p += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return IO_CLOSED;
        pollfd w{m_fd, POLLOUT, 0};
        int ready = ::poll(&w, 1, timeoutMs);
        if (ready == 0)
            return IO_TIMEOUT;
        if (ready < 0 && errno != EINTR)
            return IO_CLOSED;
    }
    return IO_OK;
}

CServerConnection::Result CServerConnection::sendSome(const void* bytes, size_t size, size_t& sent,
                                                      int timeoutMs)
{
    sent = 0;
    bool waited = false;
    for (;;)
    {
        ssize_t n = ::send(m_fd, bytes, size, MSG_NOSIGNAL);
        if (n >= 0)
        {
            sent = static_cast<size_t>(n);
            return IO_OK;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return IO_CLOSED;
        if (waited)
            return IO_TIMEOUT;
        pollfd w{m_fd, POLLOUT, 0};
        if (::poll(&w, 1, timeoutMs) < 0 && errno != EINTR)
            return IO_CLOSED;
        waited = true;
    }
}

void CServerConnection::shutdownBoth()
{
    ::shutdown(m_fd, SHUT_RDWR);
}

void CServerConnection::finish(int timeoutMs)
{
    ::shutdown(m_fd, SHUT_WR);
    char sink[4096];
    for (int rounds = 0; rounds < 64; ++rounds)
    {
        size_t got = 0;
        if (receive(sink, sizeof sink, got, timeoutMs) != IO_OK)
            return;
    }
}

} // namespace platform
