#include "platform/Environment.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace
{

TEST(Environment, NamesAreFoundWithoutRegardToCase)
{
    setEnvironmentVariable("UPD_ENV_Test", "one");
    std::string value;
    EXPECT_TRUE(getEnvironmentVariable("upd_env_test", value));
    EXPECT_EQ(value, "one");
    EXPECT_TRUE(getEnvironmentVariable("UPD_ENV_TEST", value));
    EXPECT_EQ(value, "one");
    unsetEnvironmentVariable("UPD_ENV_Test");
    EXPECT_FALSE(getEnvironmentVariable("upd_env_test", value));
}

TEST(Environment, ExactCaseWinsAndPrefixesDoNotMatch)
{
    setEnvironmentVariable("UPD_ENV_X", "upper");
    setEnvironmentVariable("upd_env_x", "lower");
    setEnvironmentVariable("UPD_ENV_XY", "longer");
    std::string value;
    EXPECT_TRUE(getEnvironmentVariable("upd_env_x", value));
    EXPECT_EQ(value, "lower");
    EXPECT_TRUE(getEnvironmentVariable("UPD_ENV_X", value));
    EXPECT_EQ(value, "upper");
    unsetEnvironmentVariable("UPD_ENV_X");
    unsetEnvironmentVariable("upd_env_x");
    EXPECT_FALSE(getEnvironmentVariable("UPD_ENV_", value));
    unsetEnvironmentVariable("UPD_ENV_XY");
    EXPECT_FALSE(getEnvironmentVariable("", value));
}

} // namespace
