// A worker thread that owns the one TCP connection of its work, the server's
// address for log lines and the I/O time-out of every connect, send and receive.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "newupdatesystem/Common/AsyncTCP.h"
#include "newupdatesystem/Common/BasicThread.h"

class CSocketThread : public CBasicThread
{
public:
    CSocketThread(bool autoDelete, double ioTimeout);
    ~CSocketThread() override;

    // Replaces the socket by a new open, non-blocking, unconnected one; the old
    // one is closed first. CSocketExcep from opening propagates, leaving none.
    void createSocket(uint32_t optionFlags);
    // Connects the socket within the I/O time-out; false when the time ran out.
    // Between waits the stop request is checked, so a stop never waits out a
    // connection that does not come.
    bool connectSocket(const char* host, uint16_t port);
    CAsyncTcp* getSocket() const { return m_socket.get(); }
    // Remembers the dotted address the last connect used, for log lines.
    void storePeerAddress();
    const std::string& getPeerAddress() const { return m_peerAddress; }
    double getIoTimeout() const { return m_ioTimeout; }

protected:
    // Closes the socket when the work ends; raises nothing.
    void onFinish() override;

private:
    std::unique_ptr<CAsyncTcp> m_socket;
    std::string m_peerAddress;
    double m_ioTimeout;
};
