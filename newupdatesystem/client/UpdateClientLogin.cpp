// CUpdateClient: the connection, the session request and the login.
#include <cstring>

#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/client/UpdateClient.h"

namespace
{
constexpr int32_t kWsaeAddrNotAvail = 10049;
constexpr size_t kLoginFieldSize = 16;
constexpr uint32_t kAuthPacketSize = 40;
} // namespace

void CUpdateClient::connect()
{
    // Small requests go out at once: several may follow each other with no
    // answer between them.
    createSocket(TCP_REUSEADDR_FLAG | TCP_NODELAY_FLAG);
    CAsyncTcp* tcp = getSocket();
    tcp->setSelectTimeout(0.5);
    logInfo("Connecting to %s:%u...", host.c_str(), port);
    // The port reaches the socket as 16 bits; a larger number would silently
    // name another port.
    if (port == 0 || port > 0xFFFF)
        throw CSocketExcep(NET_CONNECT, kWsaeAddrNotAvail, EXCEP_HERE());
    if (!connectSocket(host.c_str(), static_cast<uint16_t>(port)))
        throw CProtoExcep(PROTO_TIMEOUT, EXCEP_HERE());
    storePeerAddress();
}

bool CUpdateClient::protoHandshake()
{
    emitEvent(UPD_EVENT_CONNECTING);
    connect();
    sendInit(command.empty() ? TAG_FILE : TAG_CTRL, PROTOCOL_VERSION);

    recvPacket();
    uint32_t words[4] = {};
    if (!recvInit(words))
        throw CProtoExcep(PROTO_UNKN_MSG, EXCEP_HERE());
    if (words[3] != TAG_ACPT)
        throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
    logInfo("Server version is 0x%08x, local is 0x%08x", words[2], PROTOCOL_VERSION);

    recvPacket();
    if (packetLength() != 16 || packetTag() != TAG_PSWK)
        throw CProtoExcep(PROTO_UNKN_MSG, EXCEP_HERE());
    setChallenge(packetData() + 8);

    if (!command.empty() && login.empty())
        logWarning("Warning: Control session without authorization");
    if (login.empty())
    {
        negotiateStream(words[2]);
        return true;
    }

    logInfo("Loggin as \"%s\"...", login.c_str());
    uint8_t digest[16];
    makeAuthDigest(password.c_str(), digest);
    if (login.size() >= kLoginFieldSize || password.size() >= kLoginFieldSize)
    {
        logError("Login or password is too long!");
        return false;
    }

    uint8_t auth[kAuthPacketSize] = {};
    putLe32(auth, PACKET_SIGNATURE);
    putLe32(auth + 4, TAG_AUTH);
    std::memcpy(auth + 8, login.c_str(), login.size() + 1);
    std::memcpy(auth + 24, digest, sizeof(digest));
    sendPacket(auth, sizeof(auth));

    recvPacket();
    if (packetTag() != TAG_ACKN)
        throw CProtoExcep(PROTO_AUTH, EXCEP_HERE());
    logInfo("Login successful!");
    negotiateStream(words[2]);
    return true;
}
