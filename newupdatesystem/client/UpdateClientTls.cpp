// CUpdateClient: the private channel. A client given a trust file never
// talks past the opening in clear: the server must offer TLS and prove
// itself with a certificate from that file, or the job ends with
// UPD_AUTH_FAILED before any login or request leaves.
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Messages.h"
#include "newupdatesystem/Common/TlsMessages.h"
#include "newupdatesystem/client/ClientLock.h"
#include "newupdatesystem/client/UpdateClient.h"

void CUpdateClient::setTlsTrust(const char* trustFile)
{
    CLocked hold(m_lock);
    if (refuseAfterStart("setTlsTrust"))
        return;
    m_tlsTrust = trustFile != nullptr ? trustFile : "";
}

void CUpdateClient::openPrivateChannel(uint32_t serverVersion)
{
    if (m_tlsTrust.empty())
        return;
    if ((serverVersion & SERVER_OFFERS_TLS) == 0)
    {
        logError("TLS refused: the server does not offer TLS");
        throw CProtoExcep(PROTO_TLS, EXCEP_HERE());
    }
    std::shared_ptr<platform::CTlsContext> context;
    try
    {
        context = platform::CTlsContext::forClient(m_tlsTrust);
    }
    catch (const platform::CTlsError& e)
    {
        logError("TLS refused: %s", e.what());
        throw CProtoExcep(PROTO_TLS, EXCEP_HERE());
    }
    const auto request = TlsOpenMsg{}.encode();
    sendPacket(request.data(), request.size());
    recvPacket();
    TlsOpenMsg answer;
    if (TlsOpenMsg::decode(packetData(), packetLength(), answer) != WireCheck::OK ||
        answer.version != TLS_EXT_VERSION)
    {
        logError("TLS refused: the server did not agree to TLS");
        throw CProtoExcep(PROTO_TLS, EXCEP_HERE());
    }
    startTls(context, m_host);

    // The login answers the challenge sent inside, which no observer saw.
    recvPacket();
    ChallengeMsg key;
    if (ChallengeMsg::decode(packetData(), packetLength(), key) != WireCheck::OK)
        throw CProtoExcep(PROTO_UNKN_MSG, EXCEP_HERE());
    setChallenge(key.challenge);
}
