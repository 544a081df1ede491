#include "platform/Environment.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace
{

TEST(Environment, NamesAreFoundWithoutRegardToCase)
{
    platform::setEnvironmentVariable("UPD_ENV_Test", "one");
    std::string value;
    EXPECT_TRUE(platform::getEnvironmentVariable("upd_env_test", value));
    EXPECT_EQ(value, "one");
    EXPECT_TRUE(platform::getEnvironmentVariable("UPD_ENV_TEST", value));
    EXPECT_EQ(value, "one");
    platform::unsetEnvironmentVariable("UPD_ENV_Test");
    EXPECT_FALSE(platform::getEnvironmentVariable("upd_env_test", value));
}

TEST(Environment, ExactCaseWinsAndPrefixesDoNotMatch)
{
    platform::setEnvironmentVariable("UPD_ENV_X", "upper");
    platform::setEnvironmentVariable("upd_env_x", "lower");
    platform::setEnvironmentVariable("UPD_ENV_XY", "longer");
    std::string value;
    EXPECT_TRUE(platform::getEnvironmentVariable("upd_env_x", value));
    EXPECT_EQ(value, "lower");
    EXPECT_TRUE(platform::getEnvironmentVariable("UPD_ENV_X", value));
    EXPECT_EQ(value, "upper");
    platform::unsetEnvironmentVariable("UPD_ENV_X");
    platform::unsetEnvironmentVariable("upd_env_x");
    EXPECT_FALSE(platform::getEnvironmentVariable("UPD_ENV_", value));
    platform::unsetEnvironmentVariable("UPD_ENV_XY");
    EXPECT_FALSE(platform::getEnvironmentVariable("", value));
}

} // namespace
