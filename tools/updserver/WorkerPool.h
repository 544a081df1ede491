// A fixed set of worker threads running posted tasks. Urgent tasks go first;
// background tasks take at most a set number of the threads at once, so that
// with two or more threads an urgent task never waits for a whole backlog of
// background work, only for a free thread. Idle tasks, work nobody waits for,
// run on threads of their own at the lowest scheduling priority, so that
// they take only the processor time the clients leave.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CWorkerPool
{
public:
    enum Priority
    {
        URGENT,
        BACKGROUND,
        IDLE
    };

    // threads: at least 1. idleThreads: the threads for idle tasks; with none
    // they run as background tasks. Throws std::system_error when not one
    // thread starts.
    CWorkerPool(unsigned threads, unsigned backgroundThreads, unsigned idleThreads = 0);
    // Drops the queued tasks and waits for the running ones.
    ~CWorkerPool();
    CWorkerPool(const CWorkerPool&) = delete;
    CWorkerPool& operator=(const CWorkerPool&) = delete;

    // The task must not throw; if it does, the exception is logged and dropped.
    void post(std::function<void()> task, Priority priority);
    unsigned threadCount() const { return static_cast<unsigned>(m_threads.size()); }
    // True on a pool thread that runs at the lowest priority.
    static bool onLoweredThread();

private:
    void work();
    void idle();

    std::mutex m_lock;
    std::condition_variable m_ready;
    std::condition_variable m_idleReady;
    std::deque<std::function<void()>> m_urgent;
    std::deque<std::function<void()>> m_background;
    std::deque<std::function<void()>> m_idle;
    unsigned m_backgroundLimit;
    unsigned m_backgroundRunning = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
    std::vector<std::thread> m_idleThreads;
};
