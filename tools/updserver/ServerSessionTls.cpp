// CServerSession: the private channel. A client that saw the offer may ask
// for TLS as its first packet after the opening; the session answers, runs
// the handshake within the handshake deadline and then sends a fresh
// challenge inside, so that the login digest answers a challenge that never
// crossed in clear.
#include <cstring>

#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/TlsMessages.h"
#include "tools/updserver/ServerSession.h"
#include "tools/updserver/TlsTransport.h"
#include "tools/updserver/UpdServer.h"

std::unique_ptr<ISessionTransport> CServerSession::withTls(CUpdServer& server,
                                                           std::unique_ptr<ISessionTransport> transport)
{
    if (!server.tlsContext())
        return transport;
    return std::make_unique<CTlsTransport>(std::move(transport), server.tlsContext());
}

bool CServerSession::tlsGate()
{
    if (tag() == TAG_STLS)
    {
        onTlsOpen();
        return true;
    }
    if (m_server.options().tlsRequired && !m_tls->active())
    {
        logWarning("%s: clear session refused, TLS is required", m_peer.c_str());
        m_server.metrics().countError(CMetrics::ERR_LOGIN);
        sendMsg(TAG_ACSS);
        throw End{};
    }
    return false;
}

void CServerSession::onTlsOpen()
{
    if (m_tls->active() || m_isOpened)
        violation("\"STls\" after the session opened");
    TlsOpenMsg request;
    if (TlsOpenMsg::decode(m_channel.packetData(), m_channel.packetLength(), request) != WireCheck::OK ||
        request.version != TLS_EXT_VERSION)
        violation("malformed \"STls\"");
    // The handshake reads the connection itself: bytes the channel already
    // holds would be lost to it.
    if (m_channel.bufferedBytes() != 0)
        violation("bytes behind \"STls\"");
    const auto answer = TlsOpenMsg{}.encode();
    sendPacket(answer.data(), answer.size());
    m_channel.flush();

    // Within the deadline of the whole opening: a peer that stalls in the
    // handshake is dropped as one that never asks for anything.
    const auto deadline = m_started + std::chrono::seconds(m_server.options().handshakeTimeoutSeconds);
    try
    {
        m_tls->start(deadline);
    }
    catch (const platform::CTlsError& e)
    {
        logWarning("%s: TLS refused: %s, closing", m_peer.c_str(), e.what());
        m_server.metrics().countError(CMetrics::ERR_PROTOCOL);
        throw End{};
    }
    logInfo("%s: private channel open (%s)", m_peer.c_str(), m_tls->description().c_str());

    sendChallenge();
}
