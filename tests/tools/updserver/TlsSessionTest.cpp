// The TLS offer as a base client and a stalling client see it, spoken at
// packet level against a server in this process on a loopback port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/StreamProto.h"
#include "newupdatesystem/Common/TlsMessages.h"
#include "support/Sandbox.h"
#include "support/TestCerts.h"
#include "tests/tools/updserver/RawClient.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;

class TlsSessionTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        fs::create_directories("content/Maps");
        std::ofstream("content/Maps/Town.dat") << "town data";
        makeSelfSigned("server.pem", "server.key", "IP:127.0.0.1");
    }
    void TearDown() override
    {
        m_stop = true;
        if (m_runner.joinable())
            m_runner.join();
    }
    void startServer(bool tls, bool required = false)
    {
        ServerOptions o;
        o.root = fs::absolute("content");
        o.port = 0;
        o.handshakeTimeoutSeconds = 1;
        if (tls)
        {
            o.tlsCertFile = fs::absolute("server.pem");
            o.tlsKeyFile = fs::absolute("server.key");
        }
        o.tlsRequired = required;
        m_server = std::make_unique<CUpdServer>(o);
        m_server->start();
        m_runner = std::thread([this] { m_server->run(m_stop); });
    }
    // The version word of the server's "Init" answer; 0 when refused. The
    // challenge is read too.
    static uint32_t openSession(RawClient& c, uint32_t kind)
    {
        const auto init = InitRequest{kind, PROTOCOL_VERSION}.encode();
        c.send({init.begin(), init.end()});
        InitAnswer answer;
        if (c.recv() != TAG_INIT || InitAnswer::decode(c.packet(), c.length(), answer) != WireCheck::OK ||
            answer.verdict != TAG_ACPT || c.recv() != TAG_PSWK)
            return 0;
        return answer.version;
    }
    static std::string unpack(const std::string& packed)
    {
        CDataFile plain;
        plain.unpackFrom(packed.data(), static_cast<uint32_t>(packed.size()));
        return std::string(reinterpret_cast<const char*>(plain.data()), plain.size());
    }

    std::unique_ptr<CUpdServer> m_server;
    std::atomic<bool> m_stop{false};
    std::thread m_runner;
};

TEST_F(TlsSessionTest, BaseClientsSeeTheOfferOnlyInTheVersionWordAndAreServedInClear)
{
    startServer(true);
    RawClient file(m_server->port());
    EXPECT_EQ(openSession(file, TAG_FILE),
              PROTOCOL_VERSION | SERVER_OFFERS_STREAM | SERVER_OFFERS_CHUNK_INDEX | SERVER_OFFERS_TLS);
    file.send(RawClient::get(SUBTAG_NRMP, "maps/town.dat"));
    std::string packed;
    ASSERT_TRUE(file.receiveFile(packed));
    EXPECT_EQ(unpack(packed), "town data");

    RawClient control(m_server->port());
    EXPECT_EQ(openSession(control, TAG_CTRL), PROTOCOL_VERSION | SERVER_OFFERS_TLS);
}

TEST_F(TlsSessionTest, ServerWithoutCertificateOffersNothingNew)
{
    startServer(false);
    RawClient file(m_server->port());
    EXPECT_EQ(openSession(file, TAG_FILE),
              PROTOCOL_VERSION | SERVER_OFFERS_STREAM | SERVER_OFFERS_CHUNK_INDEX);
    RawClient control(m_server->port());
    EXPECT_EQ(openSession(control, TAG_CTRL), PROTOCOL_VERSION);
}

TEST_F(TlsSessionTest, RequiredTlsRefusesASessionThatStaysInClear)
{
    startServer(true, true);
    RawClient c(m_server->port());
    ASSERT_NE(openSession(c, TAG_FILE), 0u);
    c.send(RawClient::get(SUBTAG_SPCP, "list"));
    EXPECT_EQ(c.recv(), TAG_ACSS);
    EXPECT_TRUE(c.closedByServer(std::chrono::seconds(5)));
}

TEST_F(TlsSessionTest, StallInTheHandshakeIsDroppedWithinTheHandshakeDeadline)
{
    startServer(true);
    RawClient c(m_server->port());
    ASSERT_NE(openSession(c, TAG_FILE), 0u);
    const auto request = TlsOpenMsg{}.encode();
    c.send({request.begin(), request.end()});
    ASSERT_EQ(c.recv(), TAG_STLS);
    // The head of a TLS record whose body never comes.
    c.sendRaw({0x16, 0x03, 0x01, 0x02, 0x00});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.closedByServer(std::chrono::seconds(6)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST_F(TlsSessionTest, OptInAfterTheFirstRequestOrMalformedEndsTheSession)
{
    startServer(true);
    RawClient late(m_server->port());
    ASSERT_NE(openSession(late, TAG_FILE), 0u);
    late.send(RawClient::get(SUBTAG_NRMP, "maps/town.dat"));
    std::string packed;
    ASSERT_TRUE(late.receiveFile(packed));
    const auto request = TlsOpenMsg{}.encode();
    late.send({request.begin(), request.end()});
    EXPECT_TRUE(late.closedByServer(std::chrono::seconds(5)));

    RawClient wrongVersion(m_server->port());
    ASSERT_NE(openSession(wrongVersion, TAG_FILE), 0u);
    const auto bad = TlsOpenMsg{2, 0}.encode();
    wrongVersion.send({bad.begin(), bad.end()});
    EXPECT_TRUE(wrongVersion.closedByServer(std::chrono::seconds(5)));
}
