#include "newupdatesystem/Common/SocketThread.h"

CSocketThread::CSocketThread(bool autoDelete, double ioTimeout)
    : CBasicThread(autoDelete, 0), ioTimeout(ioTimeout)
{
}

CSocketThread::~CSocketThread() = default;

void CSocketThread::createSocket(uint32_t optionFlags)
{
    socket.reset();
    socket = std::make_unique<CAsyncTcp>(optionFlags);
}

bool CSocketThread::connectSocket(const char* host, uint16_t port)
{
    if (!socket)
        return false;
    CStopwatch watch;
    if (socket->connect(host, port))
        return true;
    for (;;) {
        if (watch.elapsed() > ioTimeout)
            return false;
        if (socket->waitForConnection())
            return true;
        checkRun();
    }
}

void CSocketThread::storePeerAddress()
{
    if (socket)
        peerAddress = platform::formatDottedAddress(socket->getRemoteAddress().address);
}

void CSocketThread::onFinish()
{
    if (socket)
        socket->close();
}
