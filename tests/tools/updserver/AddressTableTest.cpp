#include <gtest/gtest.h>

#include "tools/updserver/AddressTable.h"

using namespace std::chrono_literals;

namespace
{
CAddressTable::Limits limits(unsigned sessions, unsigned tries)
{
    CAddressTable::Limits l;
    l.maxSessions = sessions;
    l.freeLoginTries = tries;
    l.firstLock = 2s;
    l.maxLock = 16s;
    return l;
}
} // namespace

TEST(AddressTableTest, SessionsAreCappedPerAddressNotInTotal)
{
    CAddressTable t(limits(2, 3));
    EXPECT_EQ(CAddressTable::addressOf("10.1.2.3:4567"), "10.1.2.3");
    EXPECT_TRUE(t.addSession("10.1.2.3"));
    EXPECT_TRUE(t.addSession("10.1.2.3"));
    EXPECT_FALSE(t.addSession("10.1.2.3")) << "third session of one address";
    EXPECT_EQ(t.sessions("10.1.2.3"), 2u) << "a refused session is not counted";
    EXPECT_TRUE(t.addSession("10.1.2.4"));
    t.removeSession("10.1.2.3");
    EXPECT_TRUE(t.addSession("10.1.2.3")) << "a freed slot can be taken again";
    t.removeSession("10.1.2.3");
    t.removeSession("10.1.2.3");
    t.removeSession("10.1.2.3"); // one too many changes nothing
    t.removeSession("10.1.2.4");
    EXPECT_EQ(t.tracked(), 0u) << "addresses without sessions or failures are forgotten";
}

TEST(AddressTableTest, FailedLoginsBackOffPerAddressUntilASuccess)
{
    CAddressTable t(limits(8, 3));
    auto t0 = CAddressTable::Clock::time_point{} + 1000h;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(t.loginFailed("a", t0), 0s) << "free try " << i;
    EXPECT_EQ(t.loginWait("a", t0), 0s);
    EXPECT_EQ(t.loginFailed("a", t0), 2s) << "the third miss";
    EXPECT_EQ(t.loginWait("a", t0), 2s);
    EXPECT_EQ(t.loginWait("a", t0 + 1500ms), 1s) << "rounded up while it lasts";
    EXPECT_EQ(t.loginWait("a", t0 + 2s), 0s);
    EXPECT_EQ(t.loginFailed("a", t0 + 2s), 4s);
    EXPECT_EQ(t.loginFailed("a", t0 + 6s), 8s);
    EXPECT_EQ(t.loginFailed("a", t0 + 14s), 16s);
    EXPECT_EQ(t.loginFailed("a", t0 + 30s), 16s) << "held at the longest wait";
    EXPECT_EQ(t.loginWait("b", t0 + 30s), 0s) << "other addresses are not held up";

    t.loginSucceeded("a");
    EXPECT_EQ(t.loginWait("a", t0 + 30s), 0s);
    EXPECT_EQ(t.loginFailed("a", t0 + 30s), 0s) << "a success gives the free tries back";

    // Misses an hour apart are not counted together.
    CAddressTable u(limits(8, 2));
    EXPECT_EQ(u.loginFailed("c", t0), 0s);
    EXPECT_EQ(u.loginFailed("c", t0 + 2h), 0s);
    EXPECT_EQ(u.loginFailed("c", t0 + 2h), 2s);
}

TEST(AddressTableTest, ManyAddressesDoNotGrowTheTableWithoutBound)
{
    CAddressTable t(limits(8, 1));
    auto t0 = CAddressTable::Clock::time_point{} + 1000h;
    for (unsigned i = 0; i < 40000; ++i)
        t.loginFailed("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), t0);
    EXPECT_LE(t.tracked(), 32768u);
}

TEST(AddressTableTest, FailuresSpreadOverManyAddressesMakeEveryLoginWait)
{
    CAddressTable::Limits l = limits(8, 5);
    l.globalFreeLoginTries = 4;
    CAddressTable t(l);
    auto now = CAddressTable::Clock::now();
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(t.loginFailed("10.0.0." + std::to_string(i), now), 0s) << "within the allowance of all";
    EXPECT_EQ(t.loginFailed("10.0.0.4", now), 2s) << "the fourth address starts no fresh allowance";
    EXPECT_EQ(t.loginWait("10.9.9.9", now), 2s) << "an address never seen waits as well";
    EXPECT_EQ(t.loginWait("10.9.9.9", now + 2s), 0s);
    t.loginSucceeded("10.0.0.1");
    EXPECT_EQ(t.loginFailed("10.0.0.5", now + 3s), 4s) << "a success elsewhere resets nothing of all";
}
