#include "newupdatesystem/Common/AsyncTCP.h"

#include "newupdatesystem/Common/Excep.h"
#include "platform/ErrorText.h"

namespace
{

constexpr int32_t WSAEINVAL = 10022;
constexpr int32_t WSAEWOULDBLOCK = 10035;
constexpr int32_t WSAEALREADY = 10037;
constexpr int32_t WSAEISCONN = 10056;

// The error of a send or receive that just failed. WinSock keeps it as the
// socket's error; here the pending error holds only asynchronous ones, so the
// failed call's own error comes from the thread's last socket error.
int32_t failedCallError(platform::SocketHandle s, bool callFailed)
{
    int32_t error = getSocketError(s);
    if (error == 0 && callFailed)
        error = platform::getLastSocketError();
    return error;
}

} // namespace

void resolveAddress(platform::SockAddr4& address, const char* host, uint16_t port)
{
    address = {};
    address.family = platform::kFamilyInet;
    address.port = uint16_t((port >> 8) | (port << 8));
    uint32_t a = 0;
    if (platform::parseDottedAddress(host, a) || platform::lookupHostAddress(host, a))
        address.address = a;
}

int32_t getSocketError(platform::SocketHandle s)
{
    bool ok = false;
    int32_t error = platform::socketPendingError(s, ok);
    return ok ? error : 0;
}

CAsyncTcp::CAsyncTcp(uint32_t optionFlags) : CBasicTcp(optionFlags)
{
    m_waitSeconds = 0;
    m_waitMicroseconds = 500000;
    openSocket(true);
}

CAsyncTcp::~CAsyncTcp()
{
    close();
}

void CAsyncTcp::setSelectTimeout(double seconds)
{
    if (!(seconds >= 0.0 && seconds <= 60.0))
        return;
    m_waitSeconds = int32_t(seconds);
    m_waitMicroseconds = int32_t((seconds - m_waitSeconds) * 1000000.0);
}

bool CAsyncTcp::connect(const char* host, uint16_t port)
{
    resolveAddress(m_remoteAddress, host, port);
    if (platform::socketConnect(m_sock, m_remoteAddress) == 0)
        return true;
    int32_t error = platform::getLastSocketError();
    if (error == WSAEINVAL || error == WSAEWOULDBLOCK || error == WSAEALREADY)
        return false;
    if (error == WSAEISCONN)
        return true;
    throw CSocketExcep(NET_CONNECT, error, EXCEP_HERE());
}

bool CAsyncTcp::waitForConnection()
{
    platform::SelectSets sets;
    sets.write = true;
    sets.except = true;
    int32_t error;
    if (platform::socketSelect(m_sock, sets, m_waitSeconds, m_waitMicroseconds) < 0)
        error = platform::getLastSocketError();
    else if (sets.write)
        return true;
    else if (!sets.except)
        return false;
    else
        error = getSocketError(m_sock);
    if (error == WSAEWOULDBLOCK)
        return false;
    throw CSocketExcep(NET_SELECT, error, EXCEP_HERE());
}

bool CAsyncTcp::connectTimeout(const char* host, uint16_t port, double seconds)
{
    CStopwatch watch;
    if (connect(host, port))
        return true;
    for (;;)
    {
        if (watch.elapsed() > seconds)
            return false;
        if (waitForConnection())
            return true;
    }
}

bool CAsyncTcp::readyToSend()
{
    platform::SelectSets sets;
    sets.write = true;
    if (platform::socketSelect(m_sock, sets, m_waitSeconds, m_waitMicroseconds) >= 0)
        return sets.write;
    int32_t error = getSocketError(m_sock);
    if (error == WSAEWOULDBLOCK)
        return false;
    throw CSocketExcep(NET_SELECT, error, EXCEP_HERE());
}

bool CAsyncTcp::readyToRecv()
{
    platform::SelectSets sets;
    sets.read = true;
    if (platform::socketSelect(m_sock, sets, m_waitSeconds, m_waitMicroseconds) >= 0)
        return sets.read;
    int32_t error = getSocketError(m_sock);
    if (error == WSAEWOULDBLOCK)
        return false;
    throw CSocketExcep(NET_SELECT, error, EXCEP_HERE());
}

bool CAsyncTcp::send(const void* data, int32_t& length, double seconds)
{
    CStopwatch watch;
    for (;;)
    {
        if (readyToSend())
        {
            int32_t n = platform::socketSend(m_sock, data, length);
            if (n >= 0)
                length = n;
            if (n > 0)
                return true;
            int32_t error = failedCallError(m_sock, n < 0);
            if (error != WSAEWOULDBLOCK)
                throw CSocketExcep(NET_SEND, error, EXCEP_HERE());
        }
        if (watch.elapsed() > seconds)
            return false;
    }
}

bool CAsyncTcp::receive(void* buffer, int32_t& length)
{
    int32_t n = platform::socketRecv(m_sock, buffer, length);
    if (n >= 0)
        length = n;
    if (n == 0)
    {
        close();
        return false;
    }
    if (n > 0)
        return true;
    int32_t error = failedCallError(m_sock, true);
    if (error == WSAEWOULDBLOCK)
        return false;
    // NET_SEND as the base client reports it; NET_RECEIVE is never raised.
    throw CSocketExcep(NET_SEND, error, EXCEP_HERE());
}

bool CAsyncTcp::receiveTimeout(void* buffer, int32_t& length, double seconds)
{
    CStopwatch watch;
    int32_t capacity = length;
    for (;;)
    {
        length = capacity;
        if (readyToRecv() && receive(buffer, length))
            return true;
        if (watch.elapsed() > seconds)
            return false;
    }
}
