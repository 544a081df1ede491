#include "support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr uint8_t kEnd = 0xC1;
constexpr uint8_t kEsc = 0xC5;
constexpr uint8_t kEscEnd = 0xD5;

} // namespace

ScriptedPeer::ScriptedPeer(int receiveBuffer)
{
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        setsockopt(listenFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd, 4) != 0 || getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("scripted peer cannot listen");
    listenPort = ntohs(a.sin_port);
    worker = std::thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        if (connFd >= 0)
            ::shutdown(connFd, SHUT_RDWR);
        changed.notify_all();
    }
    worker.join();
    if (connFd >= 0)
        ::close(connFd);
    ::close(listenFd);
}

void ScriptedPeer::serve()
{
    // Accept one connection, polling so that the destructor can end the wait.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                return;
        }
        pollfd p{listenFd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard<std::mutex> lock(mutex);
                connFd = fd;
                changed.notify_all();
                break;
            }
        }
    }

    uint8_t buffer[65536];
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return !held || stopping; });
            if (stopping)
                break;
        }
        ssize_t n = ::recv(connFd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            std::lock_guard<std::mutex> lock(mutex);
            clientClosed = true;
            changed.notify_all();
            return;
        }
        std::vector<Bytes> complete;
        Handler h;
        {
            std::lock_guard<std::mutex> lock(mutex);
            recorded.insert(recorded.end(), buffer, buffer + n);
            for (ssize_t i = 0; i < n; ++i) {
                uint8_t c = buffer[i];
                if (partialEscape) {
                    partial.push_back(c == kEscEnd ? kEnd : c);
                    partialEscape = false;
                } else if (c == kEsc) {
                    partialEscape = true;
                } else if (c == kEnd) {
                    frames.push_back(partial);
                    complete.push_back(partial);
                    partial.clear();
                } else {
                    partial.push_back(c);
                }
            }
            h = handler;
            changed.notify_all();
        }
        // An answer to a client that has already gone fails; that must not
        // take the test process down with it.
        if (h)
            for (const Bytes& f : complete) {
                try {
                    h(f, *this);
                } catch (const std::exception& e) {
                    std::lock_guard<std::mutex> lock(mutex);
                    handlerErrors.push_back(e.what());
                }
            }
    }
}

bool ScriptedPeer::waitLocked(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds deadline,
                              const std::function<bool()>& condition)
{
    return changed.wait_for(lock, deadline, condition);
}

bool ScriptedPeer::waitConnected(std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(mutex);
    return waitLocked(lock, deadline, [this] { return connFd >= 0; });
}

void ScriptedPeer::sendBytes(const Bytes& bytes)
{
    if (!waitConnected())
        throw std::runtime_error("scripted peer: no client connected");
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(connFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("scripted peer: send failed");
        done += size_t(n);
    }
}

void ScriptedPeer::holdReading(bool hold)
{
    std::lock_guard<std::mutex> lock(mutex);
    held = hold;
    changed.notify_all();
}

std::vector<std::string> ScriptedPeer::errors() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return handlerErrors;
}

void ScriptedPeer::onPacket(Handler h)
{
    std::lock_guard<std::mutex> lock(mutex);
    handler = std::move(h);
}

Bytes ScriptedPeer::received() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
}

std::optional<Bytes> ScriptedPeer::nextPacket(std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!waitLocked(lock, deadline, [this] { return framesTaken < frames.size(); }))
        return std::nullopt;
    return frames[framesTaken++];
}

bool ScriptedPeer::waitClientClosed(std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(mutex);
    return waitLocked(lock, deadline, [this] { return clientClosed; });
}

void ScriptedPeer::closeConnection()
{
    waitConnected();
    std::lock_guard<std::mutex> lock(mutex);
    if (connFd >= 0)
        ::shutdown(connFd, SHUT_RDWR);
}
