#include "platform/Sockets.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

std::string readAll(platform::SocketHandle s)
{
    std::string text;
    char buffer[256];
    for (int32_t n; (n = platform::socketRecv(s, buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(n));
    return text;
}

} // namespace

// Both directions carry bytes, and ending one side's sending ends the other
// side's reading without touching the way back.
TEST(SocketPairTest, CarriesBytesBothWaysAndEndsOnShutdown)
{
    platform::SocketHandle a = platform::kInvalidSocket;
    platform::SocketHandle b = platform::kInvalidSocket;
    ASSERT_TRUE(platform::socketPair(a, b));
    ASSERT_NE(a, b);

    ASSERT_EQ(platform::socketSend(b, "ping", 4), 4);
    platform::socketShutdownSend(b);
    EXPECT_EQ(readAll(a), "ping");

    ASSERT_EQ(platform::socketSend(a, "pong", 4), 4);
    platform::socketClose(a);
    EXPECT_EQ(readAll(b), "pong");
    platform::socketClose(b);
}
