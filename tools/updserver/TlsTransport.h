// A session's connection that speaks in clear until the client opts into the
// private channel, and in TLS from then on. The session reads and writes
// through it either way, with the same bounded waits.
#pragma once

#include <chrono>
#include <memory>

#include "platform/Tls.h"
#include "tools/updserver/ServerSession.h"

class CTlsTransport : public ISessionTransport
{
public:
    CTlsTransport(std::unique_ptr<ISessionTransport> inner, std::shared_ptr<platform::CTlsContext> context);
    ~CTlsTransport() override;

    // Runs the server's side of the handshake on the connection. Raises
    // platform::CTlsError when it fails or does not end before the deadline;
    // a connection that closes meanwhile raises it too.
    void start(std::chrono::steady_clock::time_point deadline);
    bool active() const { return m_session != nullptr; }
    std::string description() const;

    platform::CServerConnection::Result receive(void* buffer, size_t size, size_t& got,
                                                int timeoutMs) override;
    platform::CServerConnection::Result sendSome(const void* bytes, size_t size, size_t& sent,
                                                 int timeoutMs) override;
    void shutdownBoth() override { m_inner->shutdownBoth(); }
    void finish(int timeoutMs) override { m_inner->finish(timeoutMs); }

private:
    class Lower : public platform::ITlsLower
    {
    public:
        explicit Lower(CTlsTransport& owner) : m_owner(owner) {}
        uint32_t lowerSend(const uint8_t* bytes, uint32_t length) override;
        uint32_t lowerReceive(uint8_t* buffer, uint32_t capacity) override;

    private:
        CTlsTransport& m_owner;
    };

    std::unique_ptr<ISessionTransport> m_inner;
    std::shared_ptr<platform::CTlsContext> m_context;
    Lower m_lower{*this};
    std::unique_ptr<platform::CTlsSession> m_session;
    int m_sliceMs = 500;
};
