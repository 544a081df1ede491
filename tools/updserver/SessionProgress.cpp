#include "tools/updserver/SessionProgress.h"

CSessionProgress::CSessionProgress(Clock::time_point start)
    : m_start(start), m_lastTicks(0), m_windowStart(start)
{
}

void CSessionProgress::add(uint64_t bytes)
{
    if (bytes == 0)
        return;
    m_total.fetch_add(bytes, std::memory_order_relaxed);
    m_lastTicks.store((Clock::now() - m_start).count(), std::memory_order_relaxed);
}

CSessionProgress::Clock::time_point CSessionProgress::lastProgress() const
{
    return m_start + Clock::duration(m_lastTicks.load(std::memory_order_relaxed));
}

bool CSessionProgress::fellShort(Clock::time_point now, std::chrono::seconds window, uint64_t minBytes)
{
    if (now - m_windowStart < window)
        return false;
    uint64_t total = m_total.load(std::memory_order_relaxed);
    if (total - m_windowBase < minBytes)
        return true;
    m_windowStart = now;
    m_windowBase = total;
    return false;
}
