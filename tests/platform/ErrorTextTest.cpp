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
    EXPECT_EQ(winsockFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(winsockFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(winsockFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(winsockFromErrno(EPIPE), 10054);
    EXPECT_EQ(winsockFromErrno(EALREADY), 10037);
    EXPECT_EQ(winsockFromErrno(EISCONN), 10056);
    EXPECT_EQ(winsockFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(winsockFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(winsockFromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(winsockFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(winsockFromErrno(EINVAL), 10022);
}

TEST(ErrorText, PendingCallsReadAsWouldBlock)
{
    EXPECT_EQ(winsockFromErrno(EINPROGRESS), 10035);
    EXPECT_EQ(winsockFromErrno(EAGAIN), 10035);
    EXPECT_EQ(winsockFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(errnoFromWinsock(10036), EINPROGRESS);
    EXPECT_EQ(errnoFromWinsock(10035), EWOULDBLOCK);
}

TEST(ErrorText, MappingRoundTripsAndPassesOthersThrough)
{
    for (int32_t wsa : {10004, 10013, 10038, 10048, 10054, 10060, 10061, 10065})
        EXPECT_EQ(winsockFromErrno(errnoFromWinsock(wsa)), wsa) << wsa;
    EXPECT_EQ(errnoFromWinsock(10067), 0);
    EXPECT_EQ(errnoFromWinsock(0), 0);
    EXPECT_EQ(winsockFromErrno(0), 0);
    EXPECT_EQ(winsockFromErrno(ENOMEM), ENOMEM);
    EXPECT_EQ(winsockFromHostError(HOST_NOT_FOUND), 11001);
    EXPECT_EQ(winsockFromHostError(NO_DATA), 11004);
}

TEST(ErrorText, LastSocketErrorBelongsToTheThread)
{
    setLastSocketError(10061);
    int32_t seen = -1;
    std::thread other(
        [&]
        {
            seen = getLastSocketError();
            setLastSocketError(10054);
        });
    other.join();
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(getLastSocketError(), 10061);
    setLastSocketError(0);
}

TEST(ErrorText, LastErrorIsErrno)
{
    errno = EBADF;
    EXPECT_EQ(getLastError(), EBADF);
    setLastError(ENOENT);
    EXPECT_EQ(errno, ENOENT);
}

TEST(ErrorText, MessageTexts)
{
    std::string text;
    EXPECT_TRUE(systemMessageText(ENOENT, false, text));
    EXPECT_EQ(text, std::strerror(ENOENT));
    EXPECT_TRUE(systemMessageText(10060, true, text));
    EXPECT_EQ(text, std::strerror(ETIMEDOUT));
    EXPECT_TRUE(systemMessageText(11001, true, text));
    EXPECT_EQ(text, hstrerror(HOST_NOT_FOUND));

    EXPECT_FALSE(systemMessageText(10067, true, text));
    EXPECT_EQ(text, "Missing error text");
    EXPECT_FALSE(systemMessageText(99999, true, text));
    EXPECT_EQ(text, "Missing error text");
    EXPECT_FALSE(systemMessageText(999999, false, text));
    EXPECT_EQ(text, "Missing error text");
    EXPECT_FALSE(systemMessageText(-5, false, text));
}

} // namespace
