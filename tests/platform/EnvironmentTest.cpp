#include "platform/Environment.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace
{

TEST(Environment, NamesAreFoundWithoutRegardToCase)
{
    setenv("UPD_ENV_Test", "one", 1);
    std::string value;
    EXPECT_TRUE(getEnvironmentVariable("upd_env_test", value));
    EXPECT_EQ(value, "one");
    EXPECT_TRUE(getEnvironmentVariable("UPD_ENV_TEST", value));
    EXPECT_EQ(value, "one");
    unsetenv("UPD_ENV_Test");
    EXPECT_FALSE(getEnvironmentVariable("upd_env_test", value));
}

TEST(Environment, ExactCaseWinsAndPrefixesDoNotMatch)
{
    setenv("UPD_ENV_X", "upper", 1);
    setenv("upd_env_x", "lower", 1);
    setenv("UPD_ENV_XY", "longer", 1);
    std::string value;
    EXPECT_TRUE(getEnvironmentVariable("upd_env_x", value));
    EXPECT_EQ(value, "lower");
    EXPECT_TRUE(getEnvironmentVariable("UPD_ENV_X", value));
    EXPECT_EQ(value, "upper");
    unsetenv("UPD_ENV_X");
    unsetenv("upd_env_x");
    EXPECT_FALSE(getEnvironmentVariable("UPD_ENV_", value));
    unsetenv("UPD_ENV_XY");
    EXPECT_FALSE(getEnvironmentVariable("", value));
}

} // namespace
