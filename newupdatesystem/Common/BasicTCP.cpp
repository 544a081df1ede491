#include "newupdatesystem/Common/BasicTCP.h"

#include "newupdatesystem/Common/Excep.h"
#include "platform/ErrorText.h"

CBasicTcp::CBasicTcp(uint32_t optionFlags) : optionFlags(optionFlags) {}

CBasicTcp::~CBasicTcp()
{
    close();
}

void CBasicTcp::openSocket(bool nonBlocking)
{
    sock = platform::socketOpenStream();
    if (sock == platform::kInvalidSocket)
        throw CSocketExcep(NET_OPEN_SOCKET, EXCEP_HERE());

    bool ok = true;
    if (nonBlocking)
        ok = platform::socketSetNonBlocking(sock);
    if (ok && (optionFlags & TCP_REUSEADDR_FLAG))
        ok = platform::socketSetReuseAddress(sock);
    if (ok && (optionFlags & TCP_NODELAY_FLAG))
        ok = platform::socketSetNoDelay(sock);
    if (!ok) {
        // The error is read after the close, as the caller sees it.
        int32_t error = getLastSocketError();
        platform::socketClose(sock);
        sock = platform::kInvalidSocket;
        throw CSocketExcep(NET_SET_OPT, error, EXCEP_HERE());
    }
}

void CBasicTcp::close()
{
    if (sock == platform::kInvalidSocket)
        return;
    platform::socketShutdownSend(sock);
    platform::socketClose(sock);
    sock = platform::kInvalidSocket;
}
