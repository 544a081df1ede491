#include "newupdatesystem/Common/TransferThrottle.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace
{

uint64_t steadyNow()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

void realSleep(uint64_t ns)
{
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

} // namespace

CTransferThrottle::CTransferThrottle(Clock c, Sleeper s)
    : clock(c ? std::move(c) : Clock(steadyNow)), sleeper(s ? std::move(s) : Sleeper(realSleep)),
      // The limiter never sleeps itself (only reserve is used); it shares the clock.
      limiter(0, 0, [this] { return clock(); })
{
}

void CTransferThrottle::setRate(uint64_t bytesPerSecond)
{
    if (bytesPerSecond != 0 && bytesPerSecond < MIN_RATE)
        bytesPerSecond = MIN_RATE;
    limiter.setRate(bytesPerSecond);
}

void CTransferThrottle::pass(uint64_t bytes, const StopCheck& stop, const Report& report)
{
    uint64_t wait = limiter.reserve(bytes);
    if (wait == 0) {
        report(bytes);
        return;
    }
    const uint64_t start = clock();
    uint64_t reported = 0;
    for (;;) {
        stop();
        uint64_t now = clock();
        uint64_t elapsed = now > start ? now - start : 0;
        if (elapsed >= wait)
            break;
        // The share whose time has come; in double, as bytes * elapsed can
        // pass 64 bits on a long wait.
        auto due = uint64_t(double(bytes) * double(elapsed) / double(wait));
        if (due > reported && due <= bytes) {
            report(due - reported);
            reported = due;
        }
        sleeper(std::min(wait - elapsed, SLICE_NS));
    }
    if (reported < bytes)
        report(bytes - reported);
}
