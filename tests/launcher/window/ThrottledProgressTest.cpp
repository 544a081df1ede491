// The window's rate and time-left texts while the update client holds its
// transfer to a limit: the client's throttle and the window's callback share
// one fake clock, and the texts are read once a second as the progress tick
// reads them.
#include <gtest/gtest.h>

#include "launcher/ProgressText.h"
#include "launcher/UpdCallback.h"
#include "newupdatesystem/Common/TransferThrottle.h"

#include <vector>

TEST(ThrottledProgress, RateAndTimeLeftFollowTheLimit)
{
    // 8 kB/s with 16 kB chunks: each chunk is held back longer than the one
    // second the rate text is measured over.
    const uint64_t limit = 8192, chunk = 16360, chunksPerFile = 4, files = 8;
    const uint64_t total = chunk * chunksPerFile * files;
    uint64_t nowNs = 0, nextTickMs = 1000, lastTickMs = 0;
    CUpdCallback cb;
    cb.setClock([&] { return static_cast<uint32_t>(nowNs / 1000000); });
    cb.setTargetWindow([](int) {});
    std::vector<uint32_t> rates;
    auto tick = [&]
    {
        for (uint64_t ms = nowNs / 1000000; ms >= nextTickMs; nextTickMs += 1000)
        {
            uint32_t rate = 0;
            ASSERT_TRUE(computeRate(static_cast<uint32_t>(cb.getBytes()),
                                    static_cast<uint32_t>(ms - lastTickMs), rate));
            cb.resetBytes();
            lastTickMs = ms;
            rates.push_back(rate);
        }
    };
    CTransferThrottle throttle([&] { return nowNs; },
                               [&](uint64_t ns)
                               {
                                   nowNs += ns;
                                   tick();
                               });
    throttle.setRate(limit);
    cb.resetProgress();

    uint64_t passed = 0;
    for (uint64_t f = 1; f <= files; ++f)
    {
        for (uint64_t c = 0; c < chunksPerFile; ++c)
            throttle.pass(
                chunk, [] {},
                [&](uint64_t n)
                {
                    passed += n;
                    cb.onUpdateEvent(UPD_EVENT_TRAFFIC, nullptr, static_cast<float>(n));
                });
        cb.onUpdateEvent(UPD_EVENT_PROGRESS, nullptr, static_cast<float>(double(passed) / double(total)));
        // The estimate averages from the start, and the first chunk passed
        // at once as the bucket's burst: once that is a small part of the time
        // gone, the time left is the limit's.
        if (f >= 3 && f < files)
        {
            double left = double(total - passed) / double(limit);
            EXPECT_NEAR(cb.estimateSecondsLeft(), left, left * 0.1 + 1) << "after file " << f;
        }
    }
    ASSERT_GT(rates.size(), 50u);
    // After the first burst every second shows the limit, never a chunk then nothing.
    for (size_t s = 2; s < rates.size(); ++s)
        EXPECT_NEAR(double(rates[s]), double(limit), limit * 0.1)
            << formatRateText(rates[s]) << " in second " << s;
}
