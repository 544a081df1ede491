// CProtoThread: the private channel. The TLS session sits between the packet
// channel and the socket; the socket is reached as before, one readiness wait
// per call, so the I/O time-out and the stop request bound every wait.
#include <chrono>

#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/ProtoThread.h"

uint32_t CProtoThread::TlsLower::lowerSend(const uint8_t* bytes, uint32_t length)
{
    m_owner.checkRun();
    return m_owner.m_link.rawSend(bytes, length);
}

uint32_t CProtoThread::TlsLower::lowerReceive(uint8_t* buffer, uint32_t capacity)
{
    m_owner.checkRun();
    return m_owner.m_link.rawReceive(buffer, capacity);
}

void CProtoThread::startTls(const std::shared_ptr<platform::CTlsContext>& context, const std::string& host)
{
    endTls();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(m_channel.ioTimeout()));
    try
    {
        auto session = std::make_unique<platform::CTlsSession>(context, m_tlsLower, host);
        session->handshake(deadline);
        logInfo("Private channel open (%s)", session->description().c_str());
        m_tls = std::move(session);
    }
    catch (const platform::CTlsError& e)
    {
        logError("TLS refused: %s", e.what());
        throw CProtoExcep(PROTO_TLS, EXCEP_HERE());
    }
}

void CProtoThread::endTls()
{
    m_tls.reset();
}

// A session that breaks inside TLS is a broken connection, as a reset socket
// would be.
uint32_t CProtoThread::tlsSend(const uint8_t* bytes, uint32_t length)
{
    try
    {
        return m_tls->sendSome(bytes, length);
    }
    catch (const platform::CTlsError& e)
    {
        logError("TLS: %s", e.what());
        throw CSocketExcep(NET_SEND, 0, EXCEP_HERE());
    }
}

uint32_t CProtoThread::tlsReceive(uint8_t* buffer, uint32_t capacity)
{
    try
    {
        return m_tls->receiveSome(buffer, capacity);
    }
    catch (const platform::CTlsError& e)
    {
        logError("TLS: %s", e.what());
        throw CSocketExcep(NET_RECEIVE, 0, EXCEP_HERE());
    }
}
