#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "newupdatesystem/Common/TransferThrottle.h"

// The wait is cut into slices that each check for a stop, so a stop is seen
// within one slice however long the wait; every byte is reported once; a rate
// so low that a chunk would outwait the peer's time-out is raised; no limit
// neither waits nor splits.
TEST(TransferThrottleTest, SlicesTheWaitReportsEveryByteAndStopsWithinASlice)
{
    constexpr uint64_t NS = 1000000000, CHUNK = 16360;
    uint64_t now = 7 * NS, longest = 0;
    CTransferThrottle throttle([&] { return now; },
                               [&](uint64_t ns)
                               {
                                   now += ns;
                                   longest = std::max(longest, ns);
                               });
    throttle.setRate(1);
    EXPECT_EQ(throttle.rate(), CTransferThrottle::MIN_RATE);

    uint64_t reported = 0;
    auto count = [&](uint64_t n) { reported += n; };
    for (int i = 0; i < 4; ++i)
        throttle.pass(
            CHUNK, [] {}, count);
    EXPECT_EQ(reported, 4 * CHUNK);
    EXPECT_GT(now, 7 * NS + 11 * NS) << "three chunks beyond the burst at 4 kB/s";
    EXPECT_LE(longest, CTransferThrottle::SLICE_NS);

    const uint64_t stopAt = now + NS / 2;
    reported = 0;
    auto stop = [&]
    {
        if (now >= stopAt)
            throw std::runtime_error("stop");
    };
    EXPECT_THROW(throttle.pass(CHUNK * 4, stop, count), std::runtime_error);
    EXPECT_LE(now, stopAt + CTransferThrottle::SLICE_NS) << "the stop waited out more than a slice";
    EXPECT_LT(reported, CHUNK);

    throttle.setRate(0);
    const uint64_t before = now;
    int reports = 0;
    throttle.pass(
        uint64_t(1) << 30, [] {},
        [&](uint64_t n)
        {
            EXPECT_EQ(n, uint64_t(1) << 30);
            ++reports;
        });
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(now, before);
}
