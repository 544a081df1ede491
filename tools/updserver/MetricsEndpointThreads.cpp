// CMetricsEndpoint: each connection answered on its own thread, at most
// kMaxConnections at once; stop waits for them.
#include <system_error>
#include <thread>

#include "tools/updserver/MetricsEndpoint.h"

namespace
{
const char kBusy[] = "HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
} // namespace

void CMetricsEndpoint::dispatch(int fd)
{
    {
        std::lock_guard<std::mutex> hold(m_answerLock);
        if (m_answering >= kMaxConnections)
        {
            platform::CServerConnection refused(fd);
            refused.sendAll(kBusy, sizeof kBusy - 1, 0);
            return;
        }
        ++m_answering;
    }
    auto done = [this]
    {
        std::lock_guard<std::mutex> hold(m_answerLock);
        --m_answering;
        m_answersChanged.notify_all();
    };
    try
    {
        // Waited for by stop through the count, never left running.
        std::thread(
            [this, fd, done]
            {
                answer(fd);
                done();
            })
            .detach();
    }
    catch (const std::system_error&)
    {
        platform::CServerConnection refused(fd);
        done();
    }
}

void CMetricsEndpoint::waitForAnswers()
{
    std::unique_lock<std::mutex> hold(m_answerLock);
    m_answersChanged.wait(hold, [this] { return m_answering == 0; });
}
