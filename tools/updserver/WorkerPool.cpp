#include "tools/updserver/WorkerPool.h"

#include <algorithm>
#include <exception>

#include "newupdatesystem/Common/Log.h"

CWorkerPool::CWorkerPool(unsigned threadCount, unsigned backgroundThreads)
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
}

CWorkerPool::~CWorkerPool()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stopping = true;
        m_urgent.clear();
        m_background.clear();
    }
    m_ready.notify_all();
    for (std::thread& t : m_threads)
        t.join();
}

void CWorkerPool::post(std::function<void()> task, Priority priority)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        (priority == URGENT ? m_urgent : m_background).push_back(std::move(task));
    }
    m_ready.notify_one();
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
        hold.lock();
        if (isBackground)
        {
            --m_backgroundRunning;
            // A background slot came free: another worker may be waiting for one.
            m_ready.notify_one();
        }
    }
}
