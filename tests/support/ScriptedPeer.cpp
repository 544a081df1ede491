#include "support/ScriptedPeer.h"

#include <stdexcept>

namespace
{

constexpr uint8_t kEnd = 0xC1;
constexpr uint8_t kEsc = 0xC5;
constexpr uint8_t kEscEnd = 0xD5;

} // namespace

ScriptedPeer::ScriptedPeer(int receiveBuffer)
{
    try {
        listener.setReceiveBufferSize(receiveBuffer);
        listener.listenOn("127.0.0.1", 0, 4);
    } catch (const std::exception&) {
        throw std::runtime_error("scripted peer cannot listen");
    }
    listenPort = listener.port();
    worker = std::thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        if (connection)
            connection->shutdownBoth();
        changed.notify_all();
    }
    worker.join();
    connection.reset();
    listener.close();
}

void ScriptedPeer::serve()
{
    // Accept one connection, in short waits so that the destructor can end them.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                return;
        }
        std::string from;
        int fd = listener.acceptTimeout(20, from);
        if (fd >= 0) {
            std::lock_guard<std::mutex> lock(mutex);
            connection = std::make_unique<CServerConnection>(fd);
            changed.notify_all();
            break;
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
        size_t n = 0;
        CServerConnection::Result r = connection->receive(buffer, sizeof buffer, n, 20);
        if (r == CServerConnection::IO_TIMEOUT)
            continue;
        if (r != CServerConnection::IO_OK) {
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
            for (size_t i = 0; i < n; ++i) {
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
    return waitLocked(lock, deadline, [this] { return connection != nullptr; });
}

void ScriptedPeer::sendBytes(const Bytes& bytes)
{
    if (!waitConnected())
        throw std::runtime_error("scripted peer: no client connected");
    if (connection->sendAll(bytes.data(), bytes.size(), 10000) != CServerConnection::IO_OK)
        throw std::runtime_error("scripted peer: send failed");
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
    if (connection)
        connection->shutdownBoth();
}
