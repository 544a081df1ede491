#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <utility>

#include "newupdatesystem/Common/RateLimiter.h"

namespace
{

constexpr uint64_t NS = 1000000000;

// A clock that moves only when the limiter sleeps or the test advances it.
struct FakeTime
{
    uint64_t now = 5 * NS;
    uint64_t slept = 0;
    int sleeps = 0;

    CRateLimiter make(uint64_t rate, uint64_t burst = 0)
    {
        return CRateLimiter(
            rate, burst, [this] { return now; },
            [this](uint64_t ns)
            {
                now += ns;
                slept += ns;
                ++sleeps;
            });
    }
};

} // namespace

// The transfer of the bandwidth-limit acceptance check: 50 MiB at 2M in
// protocol-sized chunks takes 25 s, within a tenth, and the average holds over
// every stretch of the way, not just in total.
TEST(RateLimiterTest, HoldsTheRateOverALongTransfer)
{
    FakeTime t;
    uint64_t rate = 0;
    ASSERT_TRUE(CRateLimiter::parseRate("2M", rate));
    CRateLimiter limiter = t.make(rate);
    const uint64_t total = uint64_t(50) << 20;
    const uint64_t start = t.now;
    uint64_t sent = 0, lastCheck = start;
    uint64_t sentAtCheck = 0;
    while (sent < total)
    {
        uint64_t chunk = std::min<uint64_t>(16360, total - sent);
        limiter.acquire(chunk);
        sent += chunk;
        t.now += 20000; // the sender's own work between chunks
        if (t.now - lastCheck >= 5 * NS)
        {
            double mibps = double(sent - sentAtCheck) / (double(t.now - lastCheck) / NS) / (1 << 20);
            EXPECT_NEAR(mibps, 2.0, 0.2);
            lastCheck = t.now;
            sentAtCheck = sent;
        }
    }
    double seconds = double(t.now - start) / NS;
    EXPECT_GE(seconds, 24.0);
    EXPECT_LE(seconds, 27.0);
}

// After a long idle spell only the burst passes at once; over any window the
// bytes stay below rate * window + burst, whatever the request sizes.
TEST(RateLimiterTest, BurstsAreBounded)
{
    FakeTime t;
    const uint64_t rate = 1 << 20, burst = 64 << 10;
    CRateLimiter limiter = t.make(rate, burst);
    t.now += 3600 * NS;

    uint64_t immediate = 0;
    while (limiter.reserve(4096) == 0)
        immediate += 4096;
    EXPECT_LE(immediate, burst);
    EXPECT_GE(immediate, burst - 4096);

    // Mixed sizes, each sent at the moment it is allowed; check every window.
    FakeTime u;
    CRateLimiter second = u.make(rate, burst);
    std::deque<std::pair<uint64_t, uint64_t>> sentAt; // time, bytes
    uint64_t sizes[] = {1, 700, 16360, 100000, 3, 65536, 250000};
    for (int i = 0; i < 400; ++i)
    {
        uint64_t n = sizes[i % 7];
        second.acquire(n);
        sentAt.emplace_back(u.now, n);
        if (i % 50 == 0)
            u.now += 2 * NS; // idle now and then
    }
    for (size_t a = 0; a < sentAt.size(); ++a)
    {
        uint64_t bytes = 0;
        for (size_t b = a; b < sentAt.size(); ++b)
        {
            bytes += sentAt[b].second;
            uint64_t window = sentAt[b].first - sentAt[a].first;
            // The window's first request was paid for before the window opened.
            uint64_t allowance = rate * window / NS + burst + sentAt[a].second;
            ASSERT_LE(bytes, allowance + 1) << "window from " << a << " to " << b;
        }
    }
}

// 64-bit counts: several GiB in one request, and absurd sizes saturate rather
// than wrap around to a short wait.
TEST(RateLimiterTest, LargeCountsAndRateChanges)
{
    FakeTime t;
    CRateLimiter limiter = t.make(uint64_t(1) << 30); // 1 GiB/s
    uint64_t wait = limiter.reserve(uint64_t(8) << 30);
    EXPECT_GE(wait, 7 * NS);
    EXPECT_LE(wait, 8 * NS);
    uint64_t huge = limiter.reserve(UINT64_MAX);
    EXPECT_GE(huge, (UINT64_MAX >> 30) * NS);
    EXPECT_EQ(limiter.reserve(UINT64_MAX), UINT64_MAX - t.now - NS / 8); // debt saturates, burst 1/8 s

    FakeTime u;
    CRateLimiter slow = u.make(1000);
    EXPECT_GT(slow.reserve(UINT64_MAX / 2), UINT64_MAX / 4);

    // No limit never sleeps; a rate set later applies to the next request.
    FakeTime v;
    CRateLimiter open = v.make(0);
    for (int i = 0; i < 1000; ++i)
        open.acquire(uint64_t(1) << 40);
    EXPECT_EQ(v.sleeps, 0);
    open.setRate(1 << 20);
    EXPECT_EQ(open.rate(), uint64_t(1) << 20);
    for (int i = 0; i < 100; ++i)
        open.acquire(1 << 20);
    EXPECT_NEAR(double(v.slept) / NS, 100.0 - 0.125, 0.01);
    open.setRate(CRateLimiter::MAX_RATE + 1);
    EXPECT_EQ(open.rate(), 0u);
}

TEST(RateLimiterTest, ParseRate)
{
    struct Good
    {
        const char* text;
        uint64_t value;
    } good[] = {
        {"0", 0},
        {"2000", 2000},
        {"512k", 512 << 10},
        {"512K", 512 << 10},
        {"2M", 2 << 20},
        {"2m", 2 << 20},
        {"1.5M", 3 << 19},
        {"0.5k", 512},
        {"16G", CRateLimiter::MAX_RATE},
        {"17179869184", CRateLimiter::MAX_RATE},
        {"007k", 7 << 10},
    };
    for (const Good& g : good)
    {
        uint64_t v = 12345;
        EXPECT_TRUE(CRateLimiter::parseRate(g.text, v)) << g.text;
        EXPECT_EQ(v, g.value) << g.text;
    }
    const char* bad[] = {
        "",
        "k",
        "M",
        ".",
        ".5",
        "5.",
        "-1",
        "+1",
        " 1",
        "1 ",
        "1MB",
        "1T",
        "1.2.3",
        "1..2",
        "16.1G",
        "17G",
        "17179869185",
        "99999999999999999999999",
        "18446744073709551617",
        "1.0000000001",
        "2M\n",
        "0x10",
        "1e6",
        "１",
        "123456789012345678901234567890123",
    };
    for (const char* b : bad)
    {
        uint64_t v = 12345;
        EXPECT_FALSE(CRateLimiter::parseRate(b, v)) << b;
        EXPECT_EQ(v, 12345u) << b;
    }
    uint64_t v = 1;
    EXPECT_FALSE(CRateLimiter::parseRate(nullptr, v));
    char unterminated[40];
    std::fill(std::begin(unterminated), std::end(unterminated), '9');
    EXPECT_FALSE(CRateLimiter::parseRate(unterminated, v)); // stops reading at 33 characters
}
