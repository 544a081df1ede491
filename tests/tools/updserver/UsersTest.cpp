#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "newupdatesystem/Common/Md5.h"
#include "tools/updserver/Users.h"

namespace
{
struct Login
{
    uint8_t name[16] = {};
    uint8_t digest[16] = {};
};

Login makeLogin(const std::string& name, const std::string& password, const uint8_t challenge[8])
{
    Login l;
    std::memcpy(l.name, name.data(), std::min<size_t>(name.size(), 16));
    CMd5 md5;
    md5.update(challenge, 8);
    md5.update(password.data(), password.size());
    md5.final(l.digest);
    return l;
}

const uint8_t kChallenge[8] = {1, 2, 3, 4, 0xC1, 0xC5, 7, 8};
} // namespace

TEST(Users, ChecksTheDigestOverChallengeAndPassword)
{
    CUsers users;
    users.loadFromText("# operators\nadmin:s3cret\r\n\n;old\nmaxlen_name_15c:maxlen_pass_15c\n", "users");
    EXPECT_EQ(users.size(), 2u);
    std::string name;
    Login good = makeLogin("admin", "s3cret", kChallenge);
    EXPECT_TRUE(users.check(good.name, good.digest, kChallenge, name));
    EXPECT_EQ(name, "admin");
    Login longest = makeLogin("maxlen_name_15c", "maxlen_pass_15c", kChallenge);
    EXPECT_TRUE(users.check(longest.name, longest.digest, kChallenge, name));

    Login wrong = makeLogin("admin", "S3cret", kChallenge);
    EXPECT_FALSE(users.check(wrong.name, wrong.digest, kChallenge, name));
    const uint8_t other[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(users.check(good.name, good.digest, other, name)) << "a replayed login must fail";
    Login unknown = makeLogin("nobody", "s3cret", kChallenge);
    EXPECT_FALSE(users.check(unknown.name, unknown.digest, kChallenge, name));
}

TEST(Users, NameFieldWithoutTerminatorIsRefused)
{
    CUsers users;
    users.loadFromText("aaaaaaaaaaaaaaa:p\n", "users");
    Login l = makeLogin("aaaaaaaaaaaaaaa", "p", kChallenge);
    std::memset(l.name, 'a', 16);
    std::string name;
    EXPECT_FALSE(users.check(l.name, l.digest, kChallenge, name));
}

TEST(Users, BadLinesAreReportedWithTheirPlace)
{
    CUsers users;
    for (const char* bad :
         {"nopassword\n", ":pw\n", "a:b\na:c\n", "sixteen_bytes_xx:p\n", "u:sixteen_bytes_xx\n"})
    {
        try
        {
            users.loadFromText(bad, "users.txt");
            ADD_FAILURE() << "accepted: " << bad;
        }
        catch (const std::runtime_error& e)
        {
            EXPECT_NE(std::string(e.what()).find("users.txt:"), std::string::npos) << e.what();
        }
    }
    users.loadFromText("ok:pw\n", "users.txt");
    EXPECT_EQ(users.size(), 1u);
}

TEST(Users, AReloadReplacesTheAccountsOnlyWhenTheWholeFileIsGood)
{
    CUsers users;
    users.loadFromText("admin:one\n", "users");
    std::string name;
    EXPECT_THROW(users.loadFromText("admin:two\nbroken line\n", "users"), std::runtime_error);
    EXPECT_THROW(users.loadFromText("# everyone gone\n", "users", false), std::runtime_error);
    Login old = makeLogin("admin", "one", kChallenge);
    EXPECT_TRUE(users.check(old.name, old.digest, kChallenge, name)) << "a bad reload keeps the accounts";

    users.loadFromText("admin:two\n", "users", false);
    EXPECT_FALSE(users.check(old.name, old.digest, kChallenge, name));
    Login now = makeLogin("admin", "two", kChallenge);
    EXPECT_TRUE(users.check(now.name, now.digest, kChallenge, name));
}
