#include "newupdatesystem/Common/BasicTCP.h"

#include "newupdatesystem/Common/Excep.h"
#include "platform/ErrorText.h"

CBasicTcp::CBasicTcp(uint32_t optionFlags) : m_optionFlags(optionFlags) {}

CBasicTcp::~CBasicTcp()
{
    close();
}

void CBasicTcp::openSocket(bool nonBlocking)
{
    m_sock = platform::socketOpenStream();
    if (m_sock == platform::kInvalidSocket)
        throw CSocketExcep(NET_OPEN_SOCKET, EXCEP_HERE());

    bool ok = true;
    if (nonBlocking)
        ok = platform::socketSetNonBlocking(m_sock);
    if (ok && (m_optionFlags & TCP_REUSEADDR_FLAG))
        ok = platform::socketSetReuseAddress(m_sock);
    if (ok && (m_optionFlags & TCP_NODELAY_FLAG))
        ok = platform::socketSetNoDelay(m_sock);
    if (!ok)
    {
        // The error is read after the close, as the caller sees it.
        int32_t error = platform::getLastSocketError();
        platform::socketClose(m_sock);
        m_sock = platform::kInvalidSocket;
        throw CSocketExcep(NET_SET_OPT, error, EXCEP_HERE());
    }
}

void CBasicTcp::close()
{
    if (m_sock == platform::kInvalidSocket)
        return;
    platform::socketShutdownSend(m_sock);
    platform::socketClose(m_sock);
    m_sock = platform::kInvalidSocket;
}
