#include "tools/updserver/WorkerPool.h"

#include <algorithm>
#include <exception>

#include "newupdatesystem/Common/Log.h"
#include "platform/Thread.h"

namespace
{
thread_local bool lowered = false;

void run(std::function<void()>& task)
{
    try
    {
        task();
    }
    catch (const std::exception& e)
    {
        logError("A worker task failed: %s", e.what());
    }
    catch (...)
    {
        logError("A worker task failed");
    }
}
} // namespace

CWorkerPool::CWorkerPool(unsigned threadCount, unsigned backgroundThreads, unsigned idleThreads)
    : m_backgroundLimit(std::max(1u, backgroundThreads))
{
    threadCount = std::max(1u, threadCount);
    for (unsigned i = 0; i < threadCount; ++i)
    {
        try
        {
            m_threads.emplace_back([this] { work(); });
        }
        catch (const std::system_error& e)
        {
            if (m_threads.empty())
                throw;
            logWarning("Only %zu of %u worker threads started: %s", m_threads.size(), threadCount, e.what());
            break;
        }
    }
    for (unsigned i = 0; i < idleThreads; ++i)
    {
        try
        {
            m_idleThreads.emplace_back([this] { idle(); });
        }
        catch (const std::system_error& e)
        {
            // Idle tasks then run as background ones.
            logWarning("Only %zu of %u idle worker threads started: %s", m_idleThreads.size(), idleThreads,
                       e.what());
            break;
        }
    }
}

CWorkerPool::~CWorkerPool()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stopping = true;
        m_urgent.clear();
        m_background.clear();
        m_idle.clear();
    }
    m_ready.notify_all();
    m_idleReady.notify_all();
    for (std::thread& t : m_threads)
        t.join();
    for (std::thread& t : m_idleThreads)
        t.join();
}

bool CWorkerPool::onLoweredThread()
{
    return lowered;
}

void CWorkerPool::post(std::function<void()> task, Priority priority)
{
    if (priority == IDLE && m_idleThreads.empty())
        priority = BACKGROUND;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        (priority == URGENT ? m_urgent : priority == IDLE ? m_idle : m_background).push_back(std::move(task));
    }
    (priority == IDLE ? m_idleReady : m_ready).notify_one();
}

void CWorkerPool::work()
{
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;)
    {
        m_ready.wait(hold,
                     [this]
                     {
                         return m_stopping || !m_urgent.empty() ||
                                (!m_background.empty() && m_backgroundRunning < m_backgroundLimit);
                     });
        if (m_stopping)
            return;
        bool isBackground = m_urgent.empty();
        auto& queue = isBackground ? m_background : m_urgent;
        std::function<void()> task = std::move(queue.front());
        queue.pop_front();
        if (isBackground)
            ++m_backgroundRunning;
        hold.unlock();
        run(task);
        hold.lock();
        if (isBackground)
        {
            --m_backgroundRunning;
            // A background slot came free: another worker may be waiting for one.
            m_ready.notify_one();
        }
    }
}

// Lowered for good: an unprivileged process may not raise it again.
void CWorkerPool::idle()
{
    lowered = platform::lowerThreadPriority();
    if (!lowered)
        logWarning("An idle worker thread keeps its priority: the system refused to lower it");
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;)
    {
        m_idleReady.wait(hold, [this] { return m_stopping || !m_idle.empty(); });
        if (m_stopping)
            return;
        std::function<void()> task = std::move(m_idle.front());
        m_idle.pop_front();
        hold.unlock();
        run(task);
        hold.lock();
    }
}
