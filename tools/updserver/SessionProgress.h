// What a session delivers, measured so the server can tell a client being
// served from one that only holds a slot: bytes the client acknowledged or
// uploaded, and when it last did. The session's thread adds; the accept loop
// reads and judges, each window, whether enough came.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

class CSessionProgress
{
public:
    using Clock = std::chrono::steady_clock;

    CSessionProgress() : CSessionProgress(Clock::now()) {}
    explicit CSessionProgress(Clock::time_point start);

    // From the session's thread.
    void add(uint64_t bytes);
    // A step that counts as much as a whole window's minimum (an operator's command).
    void mark() { add(kMarkBytes); }

    uint64_t total() const { return m_total.load(std::memory_order_relaxed); }
    // The last progress, or the start when there was none.
    Clock::time_point lastProgress() const;

    // From one judging thread only: true when a window of that length has
    // passed since the last judgement and it brought fewer than minBytes;
    // a passed window that brought enough starts the next one.
    bool fellShort(Clock::time_point now, std::chrono::seconds window, uint64_t minBytes);

    static constexpr uint64_t kMarkBytes = uint64_t(1) << 40;

private:
    const Clock::time_point m_start;
    std::atomic<uint64_t> m_total{0};
    std::atomic<int64_t> m_lastTicks; // since m_start
    Clock::time_point m_windowStart;
    uint64_t m_windowBase = 0;
};
