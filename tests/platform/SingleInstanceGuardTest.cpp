// The single-instance guard within one process, on every system: a second
// holder is refused while the first holds it, and the name is checked.
#include <gtest/gtest.h>

#include <string>

#include "platform/SingleInstance.h"
#include "support/Sandbox.h"

TEST(SingleInstanceGuardTest, OneHolderAtATime)
{
    Sandbox sandbox;
    const std::string folder = sandbox.path().string();
    const std::string name = "UpdGuardTest-" + sandbox.path().filename().string();
    platform::SingleInstanceGuard first;
    platform::SingleInstanceGuard second;
    ASSERT_EQ(platform::GuardResult::Created, first.create(name, folder));
    EXPECT_EQ(platform::GuardResult::AlreadyExists, second.create(name, folder));
    EXPECT_FALSE(second.held());
    // Another name is another guard.
    EXPECT_EQ(platform::GuardResult::Created, second.create(name + "-other", folder));
    second.release();

    first.release();
    EXPECT_FALSE(first.held());
    EXPECT_EQ(platform::GuardResult::Created, second.create(name, folder));
    EXPECT_TRUE(second.held());

    for (const char* bad : {"", "a b", "a/b", "a\\b", "..", "Global\\x"})
        EXPECT_EQ(platform::GuardResult::Failed, first.create(bad, folder)) << bad;
}
