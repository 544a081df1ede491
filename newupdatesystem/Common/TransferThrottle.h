// CTransferThrottle: holds a worker's transfer to a rate limit while keeping
// the worker stoppable. Bytes that arrived are charged to a token bucket
// (CRateLimiter); the worker then waits until they may pass, in short slices
// that each begin with the caller's stop check, so a stop request ends the
// wait within one slice. The bytes are reported as they pass, in shares over
// the wait, so that a rate display shows the limited rate even when one
// packet takes longer than its measuring window.
#pragma once

#include <cstdint>
#include <functional>

#include "newupdatesystem/Common/RateLimiter.h"

class CTransferThrottle
{
public:
    using Clock = CRateLimiter::Clock;
    using Sleeper = CRateLimiter::Sleeper;
    // Throws to abandon the wait; called before every slice.
    using StopCheck = std::function<void()>;
    using Report = std::function<void(uint64_t bytes)>;

    static constexpr uint64_t SLICE_NS = 100000000; // 0.1 s
    // A lower limit would hold one protocol chunk (16 KiB) back for longer
    // than a peer waits for its acknowledgement; lower rates are raised to it.
    static constexpr uint64_t MIN_RATE = 4096;

    // Defaults: the steady clock and a real sleep. No limit until setRate.
    explicit CTransferThrottle(Clock clock = {}, Sleeper sleeper = {});

    // 0: no limit. May be called while a transfer runs; the next pass uses it.
    void setRate(uint64_t bytesPerSecond);
    uint64_t rate() const { return m_limiter.rate(); }

    // Charges bytes against the limit and waits until they may pass. report
    // gets shares that add up to bytes: all at once when there is nothing to
    // wait for. An exception from stop leaves the remaining shares unreported.
    void pass(uint64_t bytes, const StopCheck& stop, const Report& report);

private:
    Clock m_clock;
    Sleeper m_sleeper;
    CRateLimiter m_limiter;
};
