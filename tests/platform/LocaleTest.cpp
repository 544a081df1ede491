#include "platform/Locale.h"

#include "support/EnvironmentGuard.h"
#include "support/PlatformSkip.h"

#include <gtest/gtest.h>

TEST(LocaleTest, RussianOnlyWhenTheFirstSetVariableSaysSo)
{
    SKIP_ON_WINDOWS("the language comes from the user's settings there, not from variables");
    EnvironmentGuard env({"LC_ALL", "LC_MESSAGES", "LANG"});
    env.set("LANG", "ru_RU.UTF-8");
    EXPECT_EQ(platform::userDefaultLanguageId(), platform::LANG_ID_RUSSIAN);
    env.set("LC_MESSAGES", "uk_UA.UTF-8");
    EXPECT_EQ(platform::userDefaultLanguageId(), platform::LANG_ID_ENGLISH);
    env.set("LC_ALL", "ru");
    EXPECT_EQ(platform::userDefaultLanguageId(), platform::LANG_ID_RUSSIAN);
    env.set("LC_ALL", "rus");
    EXPECT_EQ(platform::userDefaultLanguageId(), platform::LANG_ID_ENGLISH);
    env.unset("LC_ALL");
    env.unset("LC_MESSAGES");
    env.unset("LANG");
    EXPECT_EQ(platform::userDefaultLanguageId(), platform::LANG_ID_ENGLISH);
}
