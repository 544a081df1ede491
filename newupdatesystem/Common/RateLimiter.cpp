#include "newupdatesystem/Common/RateLimiter.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace
{

constexpr uint64_t NS_PER_S = 1000000000;

uint64_t saturatingAdd(uint64_t a, uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

} // namespace

uint64_t CRateLimiter::steadyNow()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

void CRateLimiter::realSleep(uint64_t ns)
{
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

CRateLimiter::CRateLimiter(uint64_t bytesPerSecond, uint64_t burst, Clock clock, Sleeper sleeper)
    : m_clock(clock ? std::move(clock) : Clock(steadyNow)),
      m_sleeper(sleeper ? std::move(sleeper) : Sleeper(realSleep))
{
    setRate(bytesPerSecond, burst);
}

void CRateLimiter::setRate(uint64_t rate, uint64_t burst)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_bytesPerSecond = rate > MAX_RATE ? 0 : rate;
    if (m_bytesPerSecond == 0)
    {
        m_burstNs = 0;
        return;
    }
    if (burst == 0)
        burst = m_bytesPerSecond / 8;
    if (burst < MIN_BURST)
        burst = MIN_BURST;
    m_burstNs = costNs(burst);
}

uint64_t CRateLimiter::rate() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bytesPerSecond;
}

// bytes * 1e9 / rate without overflow: the remainder is below the rate, and
// MAX_RATE * 1e9 fits 64 bits. Saturates for absurd counts.
uint64_t CRateLimiter::costNs(uint64_t bytes) const
{
    uint64_t whole = bytes / m_bytesPerSecond;
    uint64_t rest = bytes % m_bytesPerSecond;
    if (whole > UINT64_MAX / NS_PER_S)
        return UINT64_MAX;
    return saturatingAdd(whole * NS_PER_S, rest * NS_PER_S / m_bytesPerSecond);
}

uint64_t CRateLimiter::reserve(uint64_t bytes)
{
    uint64_t now = m_clock();
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bytesPerSecond == 0)
        return 0;
    // Idle time earns at most the burst: the debt never starts before now.
    if (m_paidUntil < now)
        m_paidUntil = now;
    m_paidUntil = saturatingAdd(m_paidUntil, costNs(bytes));
    uint64_t allowedAt = m_paidUntil - m_burstNs;
    if (m_paidUntil < m_burstNs || allowedAt <= now)
        return 0;
    return allowedAt - now;
}

void CRateLimiter::acquire(uint64_t bytes)
{
    uint64_t wait = reserve(bytes);
    if (wait > 0)
        m_sleeper(wait);
}

bool CRateLimiter::parseRate(const char* text, uint64_t& out)
{
    if (text == nullptr)
        return false;
    size_t n = strnlen(text, 33);
    if (n == 0 || n > 32)
        return false;
    uint64_t whole = 0, fraction = 0, fractionScale = 1;
    size_t i = 0, digits = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i, ++digits)
    {
        whole = whole * 10 + uint64_t(text[i] - '0');
        if (whole > MAX_RATE)
            return false;
    }
    if (digits == 0)
        return false;
    if (i < n && text[i] == '.')
    {
        ++i;
        size_t fractionDigits = 0;
        for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i, ++fractionDigits)
        {
            if (fractionDigits == 9)
                return false;
            fraction = fraction * 10 + uint64_t(text[i] - '0');
            fractionScale *= 10;
        }
        if (fractionDigits == 0)
            return false;
    }
    uint64_t unit = 1;
    if (i < n)
    {
        switch (text[i])
        {
        case 'k':
        case 'K':
            unit = uint64_t(1) << 10;
            break;
        case 'm':
        case 'M':
            unit = uint64_t(1) << 20;
            break;
        case 'g':
        case 'G':
            unit = uint64_t(1) << 30;
            break;
        default:
            return false;
        }
        ++i;
    }
    if (i != n)
        return false;
    // whole and unit are both at most MAX_RATE (2^34), fraction * unit below
    // 10^9 * 2^30: no step overflows before the range check.
    if (whole > MAX_RATE / unit)
        return false;
    uint64_t value = whole * unit + fraction * unit / fractionScale;
    if (value > MAX_RATE)
        return false;
    out = value;
    return true;
}
