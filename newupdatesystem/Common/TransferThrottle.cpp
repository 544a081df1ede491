#include "newupdatesystem/Common/TransferThrottle.h"

#include <algorithm>

CTransferThrottle::CTransferThrottle(Clock c, Sleeper s)
    : m_clock(c ? std::move(c) : Clock(CRateLimiter::steadyNow)),
      m_sleeper(s ? std::move(s) : Sleeper(CRateLimiter::realSleep)),
      // The limiter never sleeps itself (only reserve is used); it shares the clock.
      m_limiter(0, 0, [this] { return m_clock(); })
{
}

void CTransferThrottle::setRate(uint64_t bytesPerSecond)
{
    if (bytesPerSecond != 0 && bytesPerSecond < MIN_RATE)
        bytesPerSecond = MIN_RATE;
    m_limiter.setRate(bytesPerSecond);
}

void CTransferThrottle::pass(uint64_t bytes, const StopCheck& stop, const Report& report)
{
    uint64_t wait = m_limiter.reserve(bytes);
    if (wait == 0)
    {
        report(bytes);
        return;
    }
    const uint64_t start = m_clock();
    uint64_t reported = 0;
    for (;;)
    {
        stop();
        uint64_t now = m_clock();
        uint64_t elapsed = now > start ? now - start : 0;
        if (elapsed >= wait)
            break;
        // The share whose time has come; in double, as bytes * elapsed can
        // pass 64 bits on a long wait.
        auto due = uint64_t(double(bytes) * double(elapsed) / double(wait));
        if (due > reported && due <= bytes)
        {
            report(due - reported);
            reported = due;
        }
        m_sleeper(std::min(wait - elapsed, SLICE_NS));
    }
    if (reported < bytes)
        report(bytes - reported);
}
