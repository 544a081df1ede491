#include "newupdatesystem/client/WriteBehind.h"

CWriteBehind::CWriteBehind(size_t maxBytes) : m_maxBytes(maxBytes), m_thread([this] { loop(); }) {}

CWriteBehind::~CWriteBehind()
{
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_ending = true;
        m_queue.clear();
    }
    m_work.notify_all();
    m_thread.join();
}

void CWriteBehind::post(Task task, size_t bytes, const std::string& tag)
{
    std::unique_lock<std::mutex> hold(m_mutex);
    m_room.wait(hold, [&] { return m_held == 0 || m_held + bytes <= m_maxBytes; });
    m_queue.push_back(Entry{std::move(task), bytes, tag});
    m_held += bytes;
    hold.unlock();
    m_work.notify_one();
}

void CWriteBehind::drain()
{
    std::unique_lock<std::mutex> hold(m_mutex);
    m_room.wait(hold, [&] { return m_queue.empty() && !m_busy; });
}

std::vector<CWriteBehind::Failure> CWriteBehind::takeFailures()
{
    std::lock_guard<std::mutex> hold(m_mutex);
    std::vector<Failure> out;
    out.swap(m_failures);
    m_failed = false;
    return out;
}

void CWriteBehind::loop()
{
    std::unique_lock<std::mutex> hold(m_mutex);
    for (;;)
    {
        m_work.wait(hold, [&] { return m_ending || !m_queue.empty(); });
        if (m_ending)
            return;
        Entry entry = std::move(m_queue.front());
        m_queue.pop_front();
        const bool skip = m_failedTags.count(entry.tag) != 0;
        m_busy = true;
        hold.unlock();
        std::exception_ptr error;
        if (!skip)
        {
            try
            {
                entry.task();
            }
            catch (...)
            {
                error = std::current_exception();
            }
        }
        // What the task held goes before the lock is taken again.
        entry.task = nullptr;
        hold.lock();
        m_busy = false;
        if (error)
        {
            m_failures.push_back(Failure{entry.tag, error});
            m_failedTags.insert(entry.tag);
            m_failed = true;
        }
        m_held -= entry.bytes;
        m_room.notify_all();
    }
}
