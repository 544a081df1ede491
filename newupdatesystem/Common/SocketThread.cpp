#include "newupdatesystem/Common/SocketThread.h"

CSocketThread::CSocketThread(bool autoDelete, double ioTimeout)
    : CBasicThread(autoDelete, 0), m_ioTimeout(ioTimeout)
{
}

CSocketThread::~CSocketThread() = default;

void CSocketThread::createSocket(uint32_t optionFlags)
{
    m_socket.reset();
    m_socket = std::make_unique<CAsyncTcp>(optionFlags);
}

bool CSocketThread::connectSocket(const char* host, uint16_t port)
{
    if (!m_socket)
        return false;
    CStopwatch watch;
    if (m_socket->connect(host, port))
        return true;
    for (;;)
    {
        if (watch.elapsed() > m_ioTimeout)
            return false;
        if (m_socket->waitForConnection())
            return true;
        checkRun();
    }
}

void CSocketThread::storePeerAddress()
{
    if (m_socket)
        m_peerAddress = platform::formatDottedAddress(m_socket->getRemoteAddress().address);
}

void CSocketThread::onFinish()
{
    if (m_socket)
        m_socket->close();
}
