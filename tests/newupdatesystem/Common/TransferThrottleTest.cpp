#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "newupdatesystem/Common/TransferThrottle.h"

namespace
{

constexpr uint64_t NS = 1000000000;
constexpr uint64_t CHUNK = 16360;

// Time moves only when the throttle sleeps; every slice is recorded.
struct FakeTime
{
    uint64_t now = 7 * NS;
    uint64_t longestSleep = 0;
    int sleeps = 0;

    CTransferThrottle make()
    {
        return CTransferThrottle([this] { return now; },
                                 [this](uint64_t ns) {
                                     now += ns;
                                     longestSleep = std::max(longestSleep, ns);
                                     ++sleeps;
                                 });
    }
};

const CTransferThrottle::StopCheck noStop = [] {};

} // namespace

// 50 MiB at 2M in protocol chunks takes 25 s within a tenth, in slices no
// longer than the stop check's period, and every byte is reported once.
TEST(TransferThrottleTest, HoldsTheRateInShortSlicesAndReportsEveryByte)
{
    FakeTime t;
    CTransferThrottle throttle = t.make();
    throttle.setRate(2 << 20);
    const uint64_t total = uint64_t(50) << 20, start = t.now;
    uint64_t reported = 0;
    for (uint64_t sent = 0; sent < total; sent += CHUNK)
        throttle.pass(std::min(CHUNK, total - sent), noStop, [&](uint64_t n) { reported += n; });
    double seconds = double(t.now - start) / NS;
    EXPECT_GT(seconds, 25.0 * 0.9);
    EXPECT_LT(seconds, 25.0 * 1.1);
    EXPECT_LE(t.longestSleep, CTransferThrottle::SLICE_NS);
    EXPECT_EQ(reported, total);

    // No limit: reported at once, nothing slept.
    int sleeps = t.sleeps;
    throttle.setRate(0);
    uint64_t once = 0;
    throttle.pass(uint64_t(1) << 30, noStop, [&](uint64_t n) { once = n; });
    EXPECT_EQ(once, uint64_t(1) << 30);
    EXPECT_EQ(t.sleeps, sleeps);
}

// At a low limit one chunk takes seconds; a display that counts reported bytes
// per second must still see the limit in every second, not a chunk then zeros.
TEST(TransferThrottleTest, ReportsAtTheLimitedRateWithinEachSecond)
{
    FakeTime t;
    CTransferThrottle throttle = t.make();
    throttle.setRate(8192);
    const uint64_t start = t.now;
    std::map<uint64_t, uint64_t> perSecond;
    for (int i = 0; i < 20; ++i)
        throttle.pass(CHUNK, noStop, [&](uint64_t n) { perSecond[(t.now - start) / NS] += n; });
    const uint64_t lastSecond = (t.now - start) / NS;
    ASSERT_GE(lastSecond, 30u);
    // The burst passes at once; after it every whole second carries the rate.
    for (uint64_t s = 2; s < lastSecond; ++s)
        EXPECT_NEAR(double(perSecond[s]), 8192.0, 8192.0 * 0.1) << "second " << s;
}

// A stop request is seen within one slice however long the wait, and a rate
// so low that a chunk would outwait the peer's time-out is raised.
TEST(TransferThrottleTest, StopEndsALongWaitAndTinyRatesAreRaised)
{
    FakeTime t;
    CTransferThrottle throttle = t.make();
    throttle.setRate(1);
    EXPECT_EQ(throttle.rate(), CTransferThrottle::MIN_RATE);

    throttle.setRate(4096);
    throttle.pass(CHUNK, noStop, [](uint64_t) {}); // the burst
    const uint64_t stopAt = t.now + NS / 2;
    uint64_t reported = 0;
    auto stop = [&] {
        if (t.now >= stopAt)
            throw std::runtime_error("stop");
    };
    EXPECT_THROW(throttle.pass(CHUNK * 4, stop, [&](uint64_t n) { reported += n; }), std::runtime_error);
    EXPECT_LT(t.now, stopAt + CTransferThrottle::SLICE_NS + 1) << "the stop waited out more than a slice";
    EXPECT_LT(reported, CHUNK);

    // A lowered limit applies from the next pass, without waiting out the old.
    throttle.setRate(0);
    uint64_t after = t.now;
    throttle.pass(CHUNK, noStop, [](uint64_t) {});
    EXPECT_EQ(t.now, after);
}
