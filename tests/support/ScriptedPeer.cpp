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
    try
    {
        m_listener.setReceiveBufferSize(receiveBuffer);
        m_listener.listenOn("127.0.0.1", 0, 4);
    }
    catch (const std::exception&)
    {
        throw std::runtime_error("scripted peer cannot listen");
    }
    m_listenPort = m_listener.port();
    m_worker = std::thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        if (m_connection)
            m_connection->shutdownBoth();
        m_changed.notify_all();
    }
    m_worker.join();
    m_connection.reset();
    m_listener.close();
}

void ScriptedPeer::serve()
{
    // Accept one connection, in short waits so that the destructor can end them.
    for (;;)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping)
                return;
        }
        std::string from;
        int fd = m_listener.acceptTimeout(20, from);
        if (fd >= 0)
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connection = std::make_unique<platform::CServerConnection>(fd);
            m_changed.notify_all();
            break;
        }
    }

    uint8_t buffer[65536];
    for (;;)
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return !m_held || m_stopping; });
            if (m_stopping)
                break;
        }
        size_t n = 0;
        platform::CServerConnection::Result r = m_connection->receive(buffer, sizeof buffer, n, 20);
        if (r == platform::CServerConnection::IO_TIMEOUT)
            continue;
        if (r != platform::CServerConnection::IO_OK)
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_clientClosed = true;
            m_changed.notify_all();
            return;
        }
        std::vector<Bytes> complete;
        Handler h;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_recorded.insert(m_recorded.end(), buffer, buffer + n);
            for (size_t i = 0; i < n; ++i)
            {
                uint8_t c = buffer[i];
                if (m_partialEscape)
                {
                    m_partial.push_back(c == kEscEnd ? kEnd : c);
                    m_partialEscape = false;
                }
                else if (c == kEsc)
                {
                    m_partialEscape = true;
                }
                else if (c == kEnd)
                {
                    m_frames.push_back(m_partial);
                    complete.push_back(m_partial);
                    m_partial.clear();
                }
                else
                {
                    m_partial.push_back(c);
                }
            }
            h = m_handler;
            m_changed.notify_all();
        }
        // An answer to a client that has already gone fails; that must not
        // take the test process down with it.
        if (h)
            for (const Bytes& f : complete)
            {
                try
                {
                    h(f, *this);
                }
                catch (const std::exception& e)
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_handlerErrors.push_back(e.what());
                }
            }
    }
}

bool ScriptedPeer::waitLocked(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds deadline,
                              const std::function<bool()>& condition)
{
    return m_changed.wait_for(lock, deadline, condition);
}

bool ScriptedPeer::waitConnected(std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return waitLocked(lock, deadline, [this] { return m_connection != nullptr; });
}

void ScriptedPeer::sendBytes(const Bytes& bytes)
{
    if (!waitConnected())
        throw std::runtime_error("scripted peer: no client connected");
    if (m_connection->sendAll(bytes.data(), bytes.size(), 10000) != platform::CServerConnection::IO_OK)
        throw std::runtime_error("scripted peer: send failed");
}

void ScriptedPeer::holdReading(bool hold)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = hold;
    m_changed.notify_all();
}

std::vector<std::string> ScriptedPeer::errors() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handlerErrors;
}

void ScriptedPeer::onPacket(Handler h)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(h);
}

Bytes ScriptedPeer::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recorded;
}

std::optional<Bytes> ScriptedPeer::nextPacket(std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!waitLocked(lock, deadline, [this] { return m_framesTaken < m_frames.size(); }))
        return std::nullopt;
    return m_frames[m_framesTaken++];
}

bool ScriptedPeer::waitClientClosed(std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return waitLocked(lock, deadline, [this] { return m_clientClosed; });
}

void ScriptedPeer::closeConnection()
{
    waitConnected();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_connection)
        m_connection->shutdownBoth();
}
