#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "newupdatesystem/Common/SocketThread.h"
#include "support/Sandbox.h"
#include "support/ScriptedPeer.h"

namespace
{

class TestSocketThread : public CSocketThread
{
public:
    TestSocketThread() : CSocketThread(false, 30.0) {}
    using CSocketThread::onFinish;
};

} // namespace

TEST(SocketThreadTest, StartsWithoutSocketAndFinishesQuietly)
{
    TestSocketThread t;
    EXPECT_EQ(t.getSocket(), nullptr);
    EXPECT_EQ(t.getPeerAddress(), "");
    EXPECT_EQ(t.getIoTimeout(), 30.0);
    t.onFinish();
    EXPECT_EQ(t.getSocket(), nullptr);
}

TEST(SocketThreadTest, NewSocketClosesTheOldOneAndFinishCloses)
{
    ScriptedPeer peer;
    TestSocketThread t;
    t.createSocket(TCP_REUSEADDR_FLAG);
    ASSERT_TRUE(t.getSocket()->connectTimeout("127.0.0.1", peer.port(), 5.0));
    t.storePeerAddress();
    EXPECT_EQ(t.getPeerAddress(), "127.0.0.1");

    t.createSocket(0);
    EXPECT_TRUE(peer.waitClientClosed());
    ASSERT_NE(t.getSocket(), nullptr);
    EXPECT_NE(t.getSocket()->getSocket(), platform::kInvalidSocket);
    EXPECT_EQ(t.getPeerAddress(), "127.0.0.1"); // kept until the next store

    t.onFinish();
    ASSERT_NE(t.getSocket(), nullptr);
    EXPECT_EQ(t.getSocket()->getSocket(), platform::kInvalidSocket);
    t.onFinish();
}

// A listener whose queue is full drops further connection requests, so a
// connect to it stays in progress: a stop must end that wait at once, not
// after the 30 s time-out.
TEST(SocketThreadTest, AStopEndsAConnectThatDoesNotCome)
{
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    uint16_t port = ntohs(a.sin_port);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i)
    {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(fd);
    }

    class Connector : public CSocketThread
    {
    public:
        Connector(uint16_t port) : CSocketThread(false, 30.0), m_port(port) {}
        std::atomic<bool> connecting{false};
        std::atomic<int> result{-1};

    protected:
        void onStart() override
        {
            createSocket(0);
            getSocket()->setSelectTimeout(0.5);
            connecting = true;
            result = connectSocket("127.0.0.1", m_port) ? 1 : 0;
        }

    private:
        uint16_t m_port;
    } connector(port);
    connector.resume();
    ASSERT_TRUE(waitFor([&] { return connector.connecting.load(); }));
    CStopwatch watch;
    connector.setRunning(false);
    EXPECT_TRUE(connector.wait(10.0));
    EXPECT_LT(watch.elapsed(), 2.0);
    EXPECT_EQ(connector.result, -1) << "left by the stop, not by a result";
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}
