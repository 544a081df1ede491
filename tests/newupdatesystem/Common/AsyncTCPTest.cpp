#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "newupdatesystem/Common/AsyncTCP.h"
#include "newupdatesystem/Common/Excep.h"
#include "support/CatchExcep.h"
#include "support/Sandbox.h"
#include "support/ScriptedPeer.h"

namespace
{

// A loopback port where nothing listens: bound (so nobody else takes it) but
// never listening, which makes a connect to it refused.
struct DeadPort
{
    DeadPort()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~DeadPort() { ::close(fd); }
    int fd;
    uint16_t port;
};

int intOption(int fd, int level, int option)
{
    int value = -1;
    socklen_t len = sizeof value;
    getsockopt(fd, level, option, &value, &len);
    return value;
}

} // namespace

TEST(AsyncTcpTest, RefusedConnectionIsASelectError)
{
    DeadPort dead;
    CAsyncTcp tcp(0);
    auto e = catchExcep<CSocketExcep>([&] { tcp.connectTimeout("127.0.0.1", dead.port, 5.0); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, NET_SELECT);
    EXPECT_EQ(e->socketError, 10061);
    EXPECT_STREQ(e->function, "CAsyncTcp::waitForConnection");
}

// A listener whose accept queue is full drops further connection requests, so
// the connect neither succeeds nor fails: the wait ends with false.
TEST(AsyncTcpTest, UnansweredConnectTimesOut)
{
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    uint16_t port = ntohs(a.sin_port);

    std::vector<std::unique_ptr<CAsyncTcp>> fillers;
    bool waiting = false;
    for (int i = 0; i < 4 && !waiting; ++i)
    {
        auto tcp = std::make_unique<CAsyncTcp>(0);
        tcp->setSelectTimeout(0.05);
        CStopwatch watch;
        waiting = !tcp->connectTimeout("127.0.0.1", port, 0.3);
        if (waiting)
        {
            EXPECT_GE(watch.elapsed(), 0.3);
        }
        fillers.push_back(std::move(tcp));
    }
    EXPECT_TRUE(waiting);
    ::close(listener);
}

TEST(AsyncTcpTest, UnresolvableHostConnectsToNoAddress)
{
    CAsyncTcp tcp(0);
    auto e = catchExcep<CSocketExcep>([&] { tcp.connect("", 1); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, NET_CONNECT);
    EXPECT_EQ(e->socketError, 10049); // WSAEADDRNOTAVAIL, as Windows answers for 0.0.0.0
    EXPECT_EQ(tcp.getRemoteAddress().address, 0u);
    EXPECT_EQ(tcp.getRemoteAddress().port, htons(1));
}

TEST(AsyncTcpTest, SelectTimeoutLimits)
{
    CAsyncTcp tcp(0);
    EXPECT_EQ(tcp.getWaitSeconds(), 0);
    EXPECT_EQ(tcp.getWaitMicroseconds(), 500000);
    tcp.setSelectTimeout(1.25);
    EXPECT_EQ(tcp.getWaitSeconds(), 1);
    EXPECT_EQ(tcp.getWaitMicroseconds(), 250000);
    for (double bad : {61.0, -1.0, 60.0001})
    {
        tcp.setSelectTimeout(bad);
        EXPECT_EQ(tcp.getWaitSeconds(), 1);
        EXPECT_EQ(tcp.getWaitMicroseconds(), 250000);
    }
    tcp.setSelectTimeout(60.0);
    EXPECT_EQ(tcp.getWaitSeconds(), 60);
    EXPECT_EQ(tcp.getWaitMicroseconds(), 0);
    tcp.setSelectTimeout(0.0);
    EXPECT_EQ(tcp.getWaitSeconds(), 0);
    EXPECT_EQ(tcp.getWaitMicroseconds(), 0);
}

TEST(AsyncTcpTest, OptionsFollowTheFlags)
{
    CAsyncTcp plain(0);
    EXPECT_EQ(intOption(plain.getSocket(), IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_EQ(intOption(plain.getSocket(), SOL_SOCKET, SO_REUSEADDR), 0);
    CAsyncTcp both(TCP_NODELAY_FLAG | TCP_REUSEADDR_FLAG);
    EXPECT_NE(intOption(both.getSocket(), IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_NE(intOption(both.getSocket(), SOL_SOCKET, SO_REUSEADDR), 0);
}

TEST(AsyncTcpTest, SendAndReceiveOnLoopback)
{
    ScriptedPeer peer;
    CAsyncTcp tcp(TCP_NODELAY_FLAG);
    ASSERT_TRUE(tcp.connectTimeout("127.0.0.1", peer.port(), 5.0));
    int32_t len = 5;
    ASSERT_TRUE(tcp.send("hello", len, 5.0));
    EXPECT_EQ(len, 5);
    ASSERT_TRUE(waitFor([&] { return peer.received().size() == 5; }));
    EXPECT_EQ(peer.received(), (Bytes{'h', 'e', 'l', 'l', 'o'}));

    peer.sendBytes({1, 2, 3});
    uint8_t buf[16];
    Bytes got;
    while (got.size() < 3)
    {
        len = sizeof buf;
        ASSERT_TRUE(tcp.receiveTimeout(buf, len, 5.0));
        got.insert(got.end(), buf, buf + len);
    }
    EXPECT_EQ(got, (Bytes{1, 2, 3}));
}

TEST(AsyncTcpTest, ReceiveTimesOutWithFalse)
{
    ScriptedPeer peer;
    CAsyncTcp tcp(0);
    tcp.setSelectTimeout(0.05);
    ASSERT_TRUE(tcp.connectTimeout("127.0.0.1", peer.port(), 5.0));
    uint8_t buf[4];
    int32_t len = sizeof buf;
    CStopwatch watch;
    EXPECT_FALSE(tcp.receiveTimeout(buf, len, 0.2));
    EXPECT_GE(watch.elapsed(), 0.2);
}

TEST(AsyncTcpTest, ServerClosingDuringReceiveIsGracefulClose)
{
    ScriptedPeer peer;
    CAsyncTcp tcp(0);
    ASSERT_TRUE(tcp.connectTimeout("127.0.0.1", peer.port(), 5.0));
    peer.closeConnection();
    uint8_t buf[4];
    int32_t len = sizeof buf;
    auto e = catchExcep<CSocketExcep>([&] { tcp.receiveTimeout(buf, len, 5.0); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, NET_SELECT);
    EXPECT_EQ(e->socketError, 0);
    EXPECT_STREQ(e->function, "CAsyncTcp::readyToRecv");
    EXPECT_EQ(tcp.getSocket(), platform::kInvalidSocket);
}

TEST(AsyncTcpTest, ResetDuringReceiveIsAReceiveError)
{
    // A listener that accepts and resets the connection (linger 0 sends RST).
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &alen);

    CAsyncTcp tcp(0);
    ASSERT_TRUE(tcp.connectTimeout("127.0.0.1", ntohs(a.sin_port), 5.0));
    int conn = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    linger reset{1, 0};
    ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(conn);
    ::close(listener);

    uint8_t buf[4];
    int32_t len = sizeof buf;
    auto e = catchExcep<CSocketExcep>([&] { tcp.receiveTimeout(buf, len, 5.0); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, NET_SEND) << "a failed receive reports NET_SEND, as the base client does";
    EXPECT_EQ(e->socketError, 10054);
    EXPECT_STREQ(e->function, "CAsyncTcp::receive");
}

TEST(AsyncTcpTest, ResolvesDottedAndNamedHosts)
{
    platform::SockAddr4 a;
    resolveAddress(a, "10.1.2.3", 0x1234);
    EXPECT_EQ(a.family, platform::kFamilyInet);
    EXPECT_EQ(a.port, htons(0x1234));
    EXPECT_EQ(a.address, htonl(0x0A010203));
    resolveAddress(a, "localhost", 80);
    EXPECT_EQ(a.address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(platform::formatDottedAddress(htonl(0xC0A80001)), "192.168.0.1");
    EXPECT_EQ(getSocketError(platform::kInvalidSocket), 0);
}
