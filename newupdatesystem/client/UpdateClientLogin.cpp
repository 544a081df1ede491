// CUpdateClient: the connection, the session request and the login.
#include <cstring>

#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Messages.h"
#include "newupdatesystem/client/UpdateClient.h"

namespace
{
constexpr int32_t kWsaeAddrNotAvail = 10049;
constexpr size_t kLoginFieldSize = AuthMsg::NAME_SIZE;
} // namespace

void CUpdateClient::connect()
{
    // Small requests go out at once: several may follow each other with no
    // answer between them.
    endTls();
    createSocket(TCP_REUSEADDR_FLAG | TCP_NODELAY_FLAG);
    CAsyncTcp* tcp = getSocket();
    tcp->setSelectTimeout(0.5);
    logInfo("Connecting to %s:%u...", m_host.c_str(), m_port);
    // The port reaches the socket as 16 bits; a larger number would silently
    // name another port.
    if (m_port == 0 || m_port > 0xFFFF)
        throw CSocketExcep(NET_CONNECT, kWsaeAddrNotAvail, EXCEP_HERE());
    if (!connectSocket(m_host.c_str(), static_cast<uint16_t>(m_port)))
        throw CProtoExcep(PROTO_TIMEOUT, EXCEP_HERE());
    storePeerAddress();
}

bool CUpdateClient::protoHandshake()
{
    emitEvent(UPD_EVENT_CONNECTING);
    connect();
    sendInit(m_command.empty() ? TAG_FILE : TAG_CTRL, PROTOCOL_VERSION);

    recvPacket();
    uint32_t words[4] = {};
    if (!recvInit(words))
        throw CProtoExcep(PROTO_UNKN_MSG, EXCEP_HERE());
    if (words[3] != TAG_ACPT)
        throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
    logInfo("Server version is 0x%08x, local is 0x%08x", words[2], PROTOCOL_VERSION);

    recvPacket();
    ChallengeMsg key;
    if (ChallengeMsg::decode(packetData(), packetLength(), key) != WireCheck::OK)
        throw CProtoExcep(PROTO_UNKN_MSG, EXCEP_HERE());
    setChallenge(key.challenge);
    openPrivateChannel(words[2]);

    if (!m_command.empty() && m_login.empty())
        logWarning("Warning: Control session without authorization");
    if (m_login.empty())
    {
        negotiateStream(words[2]);
        return true;
    }

    logInfo("Loggin as \"%s\"...", m_login.c_str());
    AuthMsg auth;
    makeAuthDigest(m_password.c_str(), auth.digest);
    if (m_login.size() >= kLoginFieldSize || m_password.size() >= kLoginFieldSize)
    {
        logError("Login or password is too long!");
        return false;
    }

    auth.setName(m_login);
    const auto packet = auth.encode();
    sendPacket(packet.data(), packet.size());

    recvPacket();
    if (packetTag() != TAG_ACKN)
        throw CProtoExcep(PROTO_AUTH, EXCEP_HERE());
    logInfo("Login successful!");
    negotiateStream(words[2]);
    return true;
}
