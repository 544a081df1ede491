// The write-behind thread: work in the order posted, a failure kept with its
// tag and ending that tag's later work only, and the bound on bytes held.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "newupdatesystem/client/WriteBehind.h"

TEST(WriteBehindTest, RunsInOrderAndAFailureStopsOnlyItsOwnTag)
{
    CWriteBehind behind(1 << 20);
    std::string trace; // touched by the worker only until drain
    behind.post([&] { trace += "a1 "; }, 10, "a");
    behind.post([&] { throw std::runtime_error("disk full"); }, 10, "b");
    behind.post([&] { trace += "b2 "; }, 10, "b");
    behind.post([&] { trace += "a2 "; }, 10, "a");
    behind.drain();
    EXPECT_EQ(trace, "a1 a2 ");
    EXPECT_TRUE(behind.failed());

    std::vector<CWriteBehind::Failure> failures = behind.takeFailures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].tag, "b");
    EXPECT_THROW(std::rethrow_exception(failures[0].error), std::runtime_error);
    EXPECT_FALSE(behind.failed());
    EXPECT_TRUE(behind.takeFailures().empty());

    // The failed tag stays closed; others go on.
    behind.post([&] { trace += "b3 "; }, 0, "b");
    behind.post([&] { trace += "c1 "; }, 0, "c");
    behind.drain();
    EXPECT_EQ(trace, "a1 a2 c1 ");
}

TEST(WriteBehindTest, APostWaitsWhileTheBytesHeldWouldPassTheBound)
{
    CWriteBehind behind(100);
    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    std::atomic<bool> released{false};
    behind.post([gate] { gate.wait(); }, 80, "a");
    // Fits beside the first one.
    behind.post([] {}, 20, "b");
    std::thread poster(
        [&]
        {
            // Would hold 101 bytes with the first two: waits for the first.
            behind.post([] {}, 1, "c");
            EXPECT_TRUE(released.load());
        });
    released = true;
    open.set_value();
    poster.join();
    behind.drain();

    // One task larger than the bound still goes when nothing else is held.
    bool ran = false;
    behind.post([&] { ran = true; }, 1000, "d");
    behind.drain();
    EXPECT_TRUE(ran);
}
