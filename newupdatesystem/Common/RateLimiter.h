// CRateLimiter: a token bucket that holds a transfer to a number of bytes per
// second. A caller asks before it sends or stores bytes and is held back until
// they fit; over any span of t seconds at most rate * t + burst bytes pass.
// The clock and the sleeper are injectable so the limit can be tested without
// waiting; the defaults are the steady clock and a real sleep.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

class CRateLimiter
{
public:
    using Clock = std::function<uint64_t()>;          // monotonic nanoseconds
    using Sleeper = std::function<void(uint64_t ns)>; // waits at least ns
    // The real ones, taken when none is given.
    static uint64_t steadyNow();
    static void realSleep(uint64_t ns);

    // Rates above this are refused by parseRate and taken as no limit here;
    // it keeps every time computation inside 64 bits.
    static constexpr uint64_t MAX_RATE = uint64_t(1) << 34; // 16 GiB/s
    static constexpr uint64_t MIN_BURST = 16384;            // one protocol chunk

    // rate 0: no limit. burst 0: an eighth of a second at the rate, at least
    // MIN_BURST.
    explicit CRateLimiter(uint64_t bytesPerSecond, uint64_t burst = 0, Clock clock = {},
                          Sleeper sleeper = {});

    // Takes effect for the next request; earlier debt is kept.
    void setRate(uint64_t bytesPerSecond, uint64_t burst = 0);
    uint64_t rate() const;

    // Reserves bytes and returns how long the caller must wait before using
    // them, in nanoseconds; does not sleep. For loops that wait on sockets.
    uint64_t reserve(uint64_t bytes);
    // Reserves bytes and sleeps until they may be used.
    void acquire(uint64_t bytes);

    // "2000", "512k", "2M", "1.5G": bytes per second, suffixes k, M, G (either
    // case) in powers of 1024. "0" means no limit. False, out unchanged, for
    // anything else: empty, signs, spaces, other suffixes, more than one
    // fraction point, more than nine fraction digits, over MAX_RATE.
    static bool parseRate(const char* text, uint64_t& out);

private:
    uint64_t costNs(uint64_t bytes) const;

    mutable std::mutex m_lock;
    Clock m_clock;
    Sleeper m_sleeper;
    uint64_t m_bytesPerSecond = 0;
    uint64_t m_burstNs = 0;
    // The time at which everything reserved so far has been paid for.
    uint64_t m_paidUntil = 0;
};
