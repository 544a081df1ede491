// The non-blocking client socket: connect, send and receive that wait for
// readiness in short slices (the select time-out, 0.5 s by default) and give up
// after an overall time-out. Running out of time is a false result, not an
// exception; failures of socket calls raise CSocketExcep with WinSock numbers.
// None of these look at a thread's stop request.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "newupdatesystem/Common/BasicTCP.h"

class CAsyncTcp : public CBasicTcp
{
public:
    // Opens a non-blocking socket; CSocketExcep from that propagates.
    explicit CAsyncTcp(uint32_t optionFlags);
    ~CAsyncTcp() override;

    // 0 to 60 seconds; any other value leaves the wait time-out unchanged.
    void setSelectTimeout(double seconds);

    // True when connected at once, false while in progress; NET_CONNECT.
    bool connect(const char* host, uint16_t port);
    // One readiness wait; true when connected. NET_SELECT, also for a refused
    // connection (WSAECONNREFUSED).
    bool waitForConnection();
    // True when connected, false after more than seconds.
    bool connectTimeout(const char* host, uint16_t port, double seconds);

    bool readyToSend();
    bool readyToRecv();
    // On true, length holds the bytes the system accepted (at least 1, possibly
    // fewer than asked); false after more than seconds without success.
    bool send(const void* data, int32_t& length, double seconds);
    // One receive; on true length holds the bytes received. When the server has
    // closed the connection the socket is closed and the result is false.
    bool receive(void* buffer, int32_t& length);
    // Waits until at least one byte arrived (true) or more than seconds passed.
    bool receiveTimeout(void* buffer, int32_t& length, double seconds);
};

// Fills an IPv4 address from a dotted address or a host name; a name that cannot
// be resolved leaves 0.0.0.0.
void resolveAddress(platform::SockAddr4& address, const char* host, uint16_t port);

// The socket's pending error (WinSock number); 0 when it cannot be read.
int32_t getSocketError(platform::SocketHandle s);

// Measures time on a monotonic clock, so changes of the system clock neither
// shorten nor stretch a time-out.
class CStopwatch
{
public:
    CStopwatch() : m_start(now()) {}
    double elapsed() const { return now() - m_start; }

private:
    static double now()
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    double m_start;
};

// Starts the socket library for an update client's lifetime. POSIX sockets need
// no start-up, so this only records success.
class CWinSockInit
{
public:
    CWinSockInit() : m_started(true) {}
    ~CWinSockInit() = default;
    CWinSockInit(const CWinSockInit&) = delete;
    CWinSockInit& operator=(const CWinSockInit&) = delete;
    bool isStarted() const { return m_started; }

private:
    bool m_started;
};
