#include "platform/SingleInstance.h"

#include "support/ChildProcess.h"
#include "support/Sandbox.h"

#include <csignal>
#include <poll.h>

namespace
{

const char* const kName = "Test_guard";

int tryGuard(const std::string& folder)
{
    platform::SingleInstanceGuard guard;
    return static_cast<int>(guard.create(kName, folder));
}

} // namespace

TEST(SingleInstanceTest, SecondProcessSeesTheGuardUntilTheFirstEnds)
{
    Sandbox sandbox;
    const std::string folder = sandbox.path().string();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);

    // The first launcher: takes the guard, says so, and waits to be killed.
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0)
    {
        close(ready[0]);
        platform::SingleInstanceGuard guard;
        const char result = static_cast<char>(guard.create(kName, folder));
        if (write(ready[1], &result, 1) != 1)
            std::_Exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    char result = -1;
    ASSERT_EQ(read(ready[0], &result, 1), 1);
    close(ready[0]);
    EXPECT_EQ(result, static_cast<char>(platform::GuardResult::Created));

    EXPECT_EQ(runInChild([&] { return tryGuard(folder); }),
              static_cast<int>(platform::GuardResult::AlreadyExists));

    // However the holder ends, the guard goes with it.
    kill(holder, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_EQ(runInChild([&] { return tryGuard(folder); }), static_cast<int>(platform::GuardResult::Created));
}

TEST(SingleInstanceTest, ReleasedGuardCanBeTakenAgainAndBadNamesFail)
{
    Sandbox sandbox;
    const std::string folder = sandbox.path().string();
    platform::SingleInstanceGuard guard;
    EXPECT_EQ(guard.create(kName, folder), platform::GuardResult::Created);
    EXPECT_TRUE(guard.held());
    guard.release();
    EXPECT_FALSE(guard.held());
    EXPECT_EQ(runInChild([&] { return tryGuard(folder); }), static_cast<int>(platform::GuardResult::Created));
    EXPECT_EQ(guard.create("../escape", folder), platform::GuardResult::Failed);
    EXPECT_EQ(guard.create(kName, folder + "/no/such/folder"), platform::GuardResult::Failed);
}
