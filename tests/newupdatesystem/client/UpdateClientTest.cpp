// The client's interface, job loop, status mapping and session opening.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "ClientTestSupport.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "support/Sandbox.h"

namespace
{

class UpdateClientTest : public SandboxTest
{
};

uint16_t closedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t n = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(fd);
    return ntohs(a.sin_port);
}

} // namespace

TEST(UpdStatusMapping, FollowsTheExceptionFamily)
{
    EXPECT_EQ(UPD_CONNECT_FAILED, statusForProtoExcep(PROTO_TIMEOUT));
    EXPECT_EQ(UPD_PROTO_VERSION, statusForProtoExcep(PROTO_VERSION));
    for (int code : {PROTO_ACCESS, PROTO_AUTH, PROTO_BUSY})
        EXPECT_EQ(UPD_SERVER_REFUSED, statusForProtoExcep(code));
    for (int code : {int(PROTO_PACKET), int(PROTO_DATA), int(PROTO_PROTO), int(PROTO_UNKN_MSG),
                     int(PROTO_QUIT), 10, 11, 40})
        EXPECT_EQ(UPD_PROTO_ERROR, statusForProtoExcep(code));

    EXPECT_EQ(UPD_CONNECT_FAILED, statusForSocketExcep(NET_CONNECT, 0));
    EXPECT_EQ(UPD_CONNECT_FAILED, statusForSocketExcep(NET_SELECT, 10060));
    EXPECT_EQ(UPD_CONNECT_FAILED, statusForSocketExcep(NET_SELECT, 10061));
    EXPECT_EQ(UPD_NETWORK_ERROR, statusForSocketExcep(NET_SEND, 10054));
    EXPECT_EQ(UPD_NETWORK_ERROR, statusForSocketExcep(NET_SELECT, 0));

    const int expected[16] = {10, 9, 10, 9, 10, 11, 11, 11, 9, 11, 10, 11, 9, 11, 13, 13};
    for (int code = 0; code < 16; ++code)
        EXPECT_EQ(expected[code], statusForSystemExcep(code)) << "code " << code;
    EXPECT_EQ(UPD_SYSTEM_ERROR, statusForSystemExcep(16));
}

TEST_F(UpdateClientTest, EchoQueriesBeforeAnyCommandAndConfigurationDefaults)
{
    TestClient client(1);
    EXPECT_EQ(UPD_INTERNAL_ERROR, client.getStatus());
    EXPECT_EQ(0, client.getEchoCount());
    EXPECT_EQ(nullptr, client.getEcho(0));
    EXPECT_EQ(nullptr, client.findEcho("x"));
    EXPECT_EQ(nullptr, client.findEchoPrefix(""));
    EXPECT_FALSE(client.isCommandDone());
    EXPECT_EQ(nullptr, client.getSelfUpdateBatch());
}

TEST_F(UpdateClientTest, JobNeverSetEndsAfterTheHandshakeWithStatus15)
{
    FakeServer server;
    TestClient client(server.port());
    RecordingCallback events;
    client.setCallback(&events);
    EXPECT_EQ(UPD_INTERNAL_ERROR, runToEnd(client));
    EXPECT_EQ(TAG_FILE, server.sessionKind());
    EXPECT_FALSE(server.sawQuit());
    auto codes = events.codes();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(UPD_EVENT_SCANNING, codes[0]);
    EXPECT_EQ(UPD_EVENT_CONNECTING, codes[1]);
    // Without a local folder nothing is scanned.
    EXPECT_FALSE(std::filesystem::exists("Files.lst"));
}

TEST_F(UpdateClientTest, EmptyCommandIsNothingToDo)
{
    FakeServer server;
    TestClient client(server.port());
    client.setCommand("");
    EXPECT_EQ(UPD_INTERNAL_ERROR, runToEnd(client));
    EXPECT_TRUE(server.commands().empty());
}

TEST_F(UpdateClientTest, StopBeforeStartLeavesAtTheFirstReceive)
{
    FakeServer server;
    TestClient client(server.port());
    client.setUpdateJob(".", nullptr);
    client.stop();
    EXPECT_EQ(UPD_INTERNAL_ERROR, runToEnd(client));
    // It still connected and asked for a session.
    auto first = server.scripted().nextPacket();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(TAG_INIT, peerWord(*first, 4));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(UpdateClientTest, WaitPollsAndWaitsWithoutLimit)
{
    ScriptedPeer silent; // accepts, never answers
    TestClient client(silent.port(), "Files.lst", 1.0);
    EXPECT_FALSE(client.wait(0.0)); // not started: never ended
    client.start();
    EXPECT_FALSE(client.wait(0.0));
    EXPECT_TRUE(client.wait(-1.0));
    EXPECT_TRUE(client.wait(0.0));
    EXPECT_EQ(UPD_CONNECT_FAILED, client.getStatus()); // no answer in time
}

// Closing the launcher stops its worker: one waiting on a server that says
// nothing ends in well under the 2 s the window allows, not after its 30 s
// time-out.
TEST_F(UpdateClientTest, StopEndsAWorkerWaitingOnASilentServerAtOnce)
{
    ScriptedPeer silent;
    TestClient client(silent.port(), "Files.lst", CProtoThread::kIoTimeout);
    client.setUpdateJob(".", nullptr);
    client.start();
    ASSERT_TRUE(silent.nextPacket()); // "Init" is out: the worker waits for the answer
    CStopwatch watch;
    client.stop();
    EXPECT_TRUE(client.wait(10.0));
    EXPECT_LT(watch.elapsed(), 2.0);
    EXPECT_EQ(UPD_INTERNAL_ERROR, client.getStatus());
}

TEST_F(UpdateClientTest, JobSettersAfterStartAreIgnored)
{
    FakeServer server;
    TestClient client(server.port());
    server.echoes = {"one"};
    client.setCommand("status");
    client.start();
    client.setUpdateJob(".", nullptr);
    client.wait(-1.0);
    EXPECT_EQ(UPD_OK, client.getStatus());
    EXPECT_EQ(std::vector<std::string>{"status"}, server.commands());
}

TEST_F(UpdateClientTest, ConnectionRefusedIs3AndAPortBeyond16BitsIsRefusedToo)
{
    TestClient refused(closedPort());
    refused.setCommand("x");
    EXPECT_EQ(UPD_CONNECT_FAILED, runToEnd(refused));

    // 65536 + port would reach the server's port if it were cut to 16 bits.
    FakeServer server;
    TestClient beyond(65536u + server.port());
    beyond.setCommand("x");
    EXPECT_EQ(UPD_CONNECT_FAILED, runToEnd(beyond));
    EXPECT_FALSE(server.scripted().waitConnected(std::chrono::milliseconds(0)));
}

TEST_F(UpdateClientTest, ServerClosingTheConnectionIsANetworkError)
{
    ScriptedPeer peer;
    peer.onPacket([](const Bytes&, ScriptedPeer& p) { p.closeConnection(); });
    TestClient client(peer.port());
    client.setCommand("x");
    EXPECT_EQ(UPD_NETWORK_ERROR, runToEnd(client));
}

struct HandshakeRow
{
    const char* name;
    uint32_t firstAnswer;
    uint32_t verdict;
    bool challenge;
    uint32_t loginAnswer;
    const char* login;
    int status;
};

class HandshakeTest : public UpdateClientTest, public ::testing::WithParamInterface<HandshakeRow>
{
};

TEST_P(HandshakeTest, EndsWithTheRowsStatus)
{
    const HandshakeRow& row = GetParam();
    FakeServer server;
    server.firstAnswer = row.firstAnswer;
    server.verdict = row.verdict;
    server.sendChallenge = row.challenge;
    server.loginAnswer = row.loginAnswer;
    server.echoes = {"ok"};
    TestClient client(server.port());
    if (row.login)
        client.setLogin(row.login, "secret");
    client.setCommand("status");
    EXPECT_EQ(row.status, runToEnd(client));
    EXPECT_EQ(TAG_CTRL, server.sessionKind());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HandshakeTest,
    ::testing::Values(
        HandshakeRow{"accepted", 0, TAG_ACPT, true, TAG_ACKN, nullptr, UPD_OK},
        HandshakeRow{"notInit", TAG_ACKN, TAG_ACPT, true, TAG_ACKN, nullptr, UPD_PROTO_ERROR},
        HandshakeRow{"verdict", 0, makeTag("Deny"), true, TAG_ACKN, nullptr, UPD_PROTO_ERROR},
        HandshakeRow{"noChallenge", 0, TAG_ACPT, false, TAG_ACKN, nullptr, UPD_PROTO_ERROR},
        HandshakeRow{"busy", TAG_BUSY, TAG_ACPT, true, TAG_ACKN, nullptr, UPD_SERVER_REFUSED},
        HandshakeRow{"access", TAG_ACSS, TAG_ACPT, true, TAG_ACKN, nullptr, UPD_SERVER_REFUSED},
        HandshakeRow{"rejected", TAG_RJTD, TAG_ACPT, true, TAG_ACKN, nullptr, UPD_SERVER_REFUSED},
        HandshakeRow{"quit", TAG_QUIT, TAG_ACPT, true, TAG_ACKN, nullptr, UPD_PROTO_ERROR},
        HandshakeRow{"loginOk", 0, TAG_ACPT, true, TAG_ACKN, "operator", UPD_OK},
        HandshakeRow{"loginNotAcked", 0, TAG_ACPT, true, TAG_REPT, "operator", UPD_SERVER_REFUSED},
        HandshakeRow{"loginRejected", 0, TAG_ACPT, true, TAG_RJTD, "operator", UPD_SERVER_REFUSED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateClientTest, LoginOf15BytesIsSentAnd16BytesStopsTheWorker)
{
    {
        FakeServer server;
        TestClient client(server.port());
        client.setLogin("abcdefghijklmno", "123456789012345");
        client.setCommand("x");
        EXPECT_EQ(UPD_OK, runToEnd(client));
        EXPECT_TRUE(server.sawAuth());
        EXPECT_EQ("abcdefghijklmno", server.authLogin());
    }
    for (auto [login, password] : {std::pair{"abcdefghijklmnop", "pw"}, std::pair{"op", "1234567890123456"}})
    {
        FakeServer server;
        TestClient client(server.port());
        client.setLogin(login, password);
        client.setCommand("x");
        EXPECT_EQ(UPD_INTERNAL_ERROR, runToEnd(client));
        EXPECT_FALSE(server.sawAuth());
        EXPECT_TRUE(server.commands().empty());
    }
}

TEST_F(UpdateClientTest, AuthCarriesTheChallengeDigest)
{
    FakeServer server;
    TestClient client(server.port());
    client.setLogin("op", "pw");
    client.setCommand("x");
    EXPECT_EQ(UPD_OK, runToEnd(client));
    std::optional<Bytes> auth;
    while (auto p = server.scripted().nextPacket(std::chrono::seconds(1)))
        if (peerWord(*p, 4) == TAG_AUTH)
            auth = p;
    ASSERT_TRUE(auth.has_value());
    ASSERT_EQ(40u, auth->size());
    EXPECT_EQ(PACKET_SIGNATURE, peerWord(*auth, 0));
    std::string material = std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8) + "pw";
    uint8_t digest[16];
    CMd5::digest(material.data(), material.size(), digest);
    EXPECT_EQ(0, std::memcmp(digest, auth->data() + 24, 16));
    EXPECT_EQ(0, auth->at(10)); // "op" then zeros
}
