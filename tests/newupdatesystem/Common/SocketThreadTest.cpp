#include <gtest/gtest.h>

#include "newupdatesystem/Common/SocketThread.h"
#include "support/ScriptedPeer.h"
#include "support/Sandbox.h"

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
