#include "launcher/MainLoopPost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace
{

const PostWhen kAllKinds[] = {PostWhen::Invoke, PostWhen::Idle, PostWhen::Later};

TEST(MainLoopPostTest, ClosuresThatNeverRunAreFreedWithTheirLoop)
{
    GMainContext* context = g_main_context_new();
    auto token = std::make_shared<int>(0);
    int ran = 0;
    for (PostWhen when : kAllKinds)
        postToMainLoop(
            when, [token, &ran] { ++ran; }, 60000, context);
    // Invoke from a thread that does not own the loop waits for the loop too.
    std::thread(
        [&]
        {
            postToMainLoop(
                PostWhen::Invoke, [token, &ran] { ++ran; }, 0, context);
        })
        .join();
    EXPECT_EQ(token.use_count(), 5);

    g_main_context_unref(context);
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(token.use_count(), 1);
}

TEST(MainLoopPostTest, EachClosureRunsOnceOnTheLoopThenIsFreed)
{
    GMainContext* context = g_main_context_new();
    auto token = std::make_shared<int>(0);
    int ran = 0;
    for (PostWhen when : kAllKinds)
        postToMainLoop(
            when, [token, &ran] { ++ran; }, 1, context);
    std::thread(
        [&]
        {
            postToMainLoop(
                PostWhen::Invoke, [token, &ran] { ++ran; }, 0, context);
        })
        .join();

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ran < 4 && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(context, FALSE);
    while (g_main_context_pending(context))
        g_main_context_iteration(context, FALSE);
    EXPECT_EQ(ran, 4);
    EXPECT_EQ(token.use_count(), 1);
    g_main_context_unref(context);
}

} // namespace
