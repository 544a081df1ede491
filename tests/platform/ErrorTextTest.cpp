#include "platform/ErrorText.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace
{

TEST(ErrorText, SocketErrnosMapToWinsockNumbers)
{
    EXPECT_EQ(platform::winsockFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(platform::winsockFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(platform::winsockFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(platform::winsockFromErrno(EPIPE), 10054);
    EXPECT_EQ(platform::winsockFromErrno(EALREADY), 10037);
    EXPECT_EQ(platform::winsockFromErrno(EISCONN), 10056);
    EXPECT_EQ(platform::winsockFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(platform::winsockFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(platform::winsockFromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(platform::winsockFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(platform::winsockFromErrno(EINVAL), 10022);
}

TEST(ErrorText, PendingCallsReadAsWouldBlock)
{
    EXPECT_EQ(platform::winsockFromErrno(EINPROGRESS), 10035);
    EXPECT_EQ(platform::winsockFromErrno(EAGAIN), 10035);
    EXPECT_EQ(platform::winsockFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(platform::errnoFromWinsock(10036), EINPROGRESS);
    EXPECT_EQ(platform::errnoFromWinsock(10035), EWOULDBLOCK);
}

TEST(ErrorText, MappingRoundTripsAndPassesOthersThrough)
{
    for (int32_t wsa : {10004, 10013, 10038, 10048, 10054, 10060, 10061, 10065})
        EXPECT_EQ(platform::winsockFromErrno(platform::errnoFromWinsock(wsa)), wsa) << wsa;
    EXPECT_EQ(platform::errnoFromWinsock(10067), 0);
    EXPECT_EQ(platform::errnoFromWinsock(0), 0);
    EXPECT_EQ(platform::winsockFromErrno(0), 0);
    EXPECT_EQ(platform::winsockFromErrno(ENOMEM), ENOMEM);
    EXPECT_EQ(platform::winsockFromHostError(HOST_NOT_FOUND), 11001);
    EXPECT_EQ(platform::winsockFromHostError(NO_DATA), 11004);
}

TEST(ErrorText, LastSocketErrorBelongsToTheThread)
{
    platform::setLastSocketError(10061);
    int32_t seen = -1;
    std::thread other(
        [&]
        {
            seen = platform::getLastSocketError();
            platform::setLastSocketError(10054);
        });
    other.join();
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(platform::getLastSocketError(), 10061);
    platform::setLastSocketError(0);
}

TEST(ErrorText, LastErrorIsErrno)
{
    errno = EBADF;
    EXPECT_EQ(platform::getLastError(), EBADF);
    platform::setLastError(ENOENT);
    EXPECT_EQ(errno, ENOENT);
}

TEST(ErrorText, MessageTexts)
{
    std::string text;
    EXPECT_TRUE(platform::systemMessageText(ENOENT, false, text));
    EXPECT_EQ(text, std::strerror(ENOENT));
    EXPECT_TRUE(platform::systemMessageText(10060, true, text));
    EXPECT_EQ(text, std::strerror(ETIMEDOUT));
    EXPECT_TRUE(platform::systemMessageText(11001, true, text));
    EXPECT_EQ(text, hstrerror(HOST_NOT_FOUND));

    EXPECT_FALSE(platform::systemMessageText(10067, true, text));
    EXPECT_EQ(text, "Missing error text");
    EXPECT_FALSE(platform::systemMessageText(99999, true, text));
    EXPECT_EQ(text, "Missing error text");
    EXPECT_FALSE(platform::systemMessageText(999999, false, text));
    EXPECT_EQ(text, "Missing error text");
    EXPECT_FALSE(platform::systemMessageText(-5, false, text));
}

} // namespace
