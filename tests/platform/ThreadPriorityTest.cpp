#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <thread>

// The lowered thread, and only it, runs lower; a thread started afterwards
// starts at its creator's priority again.
TEST(ThreadPriorityTest, LoweringTouchesOnlyTheCallingThread)
{
    const int mine = platform::currentThreadPriority();
    for (int round = 0; round < 2; ++round)
    {
        bool lowered = false;
        int before = 0;
        int after = 0;
        std::thread worker(
            [&]
            {
                before = platform::currentThreadPriority();
                lowered = platform::lowerThreadPriority();
                after = platform::currentThreadPriority();
            });
        worker.join();
        ASSERT_TRUE(lowered);
        EXPECT_EQ(before, mine) << round;
        EXPECT_LT(after, before);
        EXPECT_EQ(platform::currentThreadPriority(), mine) << "the other threads keep theirs";
    }
}
