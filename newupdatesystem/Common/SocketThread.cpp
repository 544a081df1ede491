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
