#include "tools/updserver/WorkerPool.h"

#include <algorithm>
#include <exception>

#include "newupdatesystem/Common/Log.h"

CWorkerPool::CWorkerPool(unsigned threadCount, unsigned backgroundThreads)
    : backgroundLimit(std::max(1u, backgroundThreads))
{
    threadCount = std::max(1u, threadCount);
    for (unsigned i = 0; i < threadCount; ++i) {
        try {
            threads.emplace_back([this] { work(); });
        } catch (const std::system_error& e) {
            if (threads.empty())
                throw;
            logWarning("Only %zu of %u worker threads started: %s", threads.size(), threadCount, e.what());
            break;
        }
    }
}

CWorkerPool::~CWorkerPool()
{
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
        urgent.clear();
        background.clear();
    }
    ready.notify_all();
    for (std::thread& t : threads)
        t.join();
}

void CWorkerPool::post(std::function<void()> task, Priority priority)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        (priority == URGENT ? urgent : background).push_back(std::move(task));
    }
    ready.notify_one();
}

void CWorkerPool::work()
{
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        ready.wait(hold, [this] {
            return stopping || !urgent.empty() || (!background.empty() && backgroundRunning < backgroundLimit);
        });
        if (stopping)
            return;
        bool isBackground = urgent.empty();
        auto& queue = isBackground ? background : urgent;
        std::function<void()> task = std::move(queue.front());
        queue.pop_front();
        if (isBackground)
            ++backgroundRunning;
        hold.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            logError("A worker task failed: %s", e.what());
        } catch (...) {
            logError("A worker task failed");
        }
        hold.lock();
        if (isBackground) {
            --backgroundRunning;
            // A background slot came free: another worker may be waiting for one.
            ready.notify_one();
        }
    }
}
