#include "tools/updserver/TlsTransport.h"

#include <algorithm>

using platform::CServerConnection;

namespace
{
// The wait of one handshake step; the deadline is checked between steps.
constexpr int kHandshakeSliceMs = 200;
} // namespace

CTlsTransport::CTlsTransport(std::unique_ptr<ISessionTransport> inner,
                             std::shared_ptr<platform::CTlsContext> context)
    : m_inner(std::move(inner)), m_context(std::move(context))
{
}

CTlsTransport::~CTlsTransport() = default;

void CTlsTransport::start(std::chrono::steady_clock::time_point deadline)
{
    m_sliceMs = kHandshakeSliceMs;
    auto session = std::make_unique<platform::CTlsSession>(m_context, m_lower);
    session->handshake(deadline);
    m_session = std::move(session);
}

std::string CTlsTransport::description() const
{
    return m_session ? m_session->description() : std::string();
}

uint32_t CTlsTransport::Lower::lowerSend(const uint8_t* bytes, uint32_t length)
{
    size_t sent = 0;
    if (m_owner.m_inner->sendSome(bytes, length, sent, m_owner.m_sliceMs) == CServerConnection::IO_CLOSED)
        throw platform::CTlsError("connection closed");
    return static_cast<uint32_t>(sent);
}

uint32_t CTlsTransport::Lower::lowerReceive(uint8_t* buffer, uint32_t capacity)
{
    size_t got = 0;
    CServerConnection::Result r = m_owner.m_inner->receive(buffer, capacity, got, m_owner.m_sliceMs);
    if (r == CServerConnection::IO_CLOSED)
        throw platform::CTlsError("connection closed");
    return r == CServerConnection::IO_OK ? static_cast<uint32_t>(got) : 0;
}

// A TLS failure is a broken connection for the session: it ends as when the
// client goes away.
CServerConnection::Result CTlsTransport::receive(void* buffer, size_t size, size_t& got, int timeoutMs)
{
    got = 0;
    if (!m_session)
        return m_inner->receive(buffer, size, got, timeoutMs);
    m_sliceMs = timeoutMs;
    try
    {
        const auto capacity = static_cast<uint32_t>(std::min<size_t>(size, 1u << 30));
        got = m_session->receiveSome(static_cast<uint8_t*>(buffer), capacity);
    }
    catch (const platform::CTlsError&)
    {
        return CServerConnection::IO_CLOSED;
    }
    return got != 0 ? CServerConnection::IO_OK : CServerConnection::IO_TIMEOUT;
}

CServerConnection::Result CTlsTransport::sendSome(const void* bytes, size_t size, size_t& sent, int timeoutMs)
{
    sent = 0;
    if (!m_session)
        return m_inner->sendSome(bytes, size, sent, timeoutMs);
    m_sliceMs = timeoutMs;
    try
    {
        const auto length = static_cast<uint32_t>(std::min<size_t>(size, 1u << 30));
        sent = m_session->sendSome(static_cast<const uint8_t*>(bytes), length);
    }
    catch (const platform::CTlsError&)
    {
        return CServerConnection::IO_CLOSED;
    }
    return sent != 0 ? CServerConnection::IO_OK : CServerConnection::IO_TIMEOUT;
}
