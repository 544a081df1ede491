#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{

struct Readings
{
    bool lowered = false;
    bool loweredAgain = false;
    int before = 0;
    int after = 0;
    int afterAgain = 0;
};

Readings lowerOnOwnThread()
{
    Readings r;
    std::thread worker(
        [&r]
        {
            r.before = platform::currentThreadPriority();
            r.lowered = platform::lowerThreadPriority();
            r.after = platform::currentThreadPriority();
            r.loweredAgain = platform::lowerThreadPriority();
            r.afterAgain = platform::currentThreadPriority();
        });
    worker.join();
    return r;
}

} // namespace

TEST(ThreadPriorityTest, LoweringTouchesOnlyTheCallingThread)
{
    int mine = platform::currentThreadPriority();
    Readings first = lowerOnOwnThread();
    ASSERT_TRUE(first.lowered);
    EXPECT_EQ(first.before, mine) << "a new thread starts at its creator's priority";
    EXPECT_LT(first.after, first.before);
    EXPECT_TRUE(first.loweredAgain);
    EXPECT_EQ(first.afterAgain, first.after) << "lowering twice stays at the bottom";
    EXPECT_EQ(platform::currentThreadPriority(), mine) << "the other threads keep theirs";

    // A thread started after another was lowered does not inherit it.
    Readings second = lowerOnOwnThread();
    EXPECT_EQ(second.before, mine);
    EXPECT_EQ(second.after, first.after);
}
