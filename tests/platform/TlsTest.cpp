// TLS sessions over a socket pair: bytes both ways, a refused certificate
// with its reason, the handshake deadline against a silent peer; and the
// build without TLS saying so.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <tuple>

#include "platform/Sockets.h"
#include "platform/Tls.h"
#include "support/Sandbox.h"
#ifndef _WIN32
#include "support/TestCerts.h"
#endif

using namespace platform;
using Clock = std::chrono::steady_clock;

#ifdef _WIN32

TEST(Tls, BuildWithoutTlsSaysSo)
{
    EXPECT_FALSE(CTlsContext::supported());
    try
    {
        CTlsContext::forClient("ca.pem");
        FAIL() << "a context without TLS";
    }
    catch (const CTlsError& e)
    {
        EXPECT_STREQ(e.what(), "TLS is not supported in this build");
    }
}

#else

namespace
{
// One end of a socket pair, one 20 ms wait per call.
class PairLower : public ITlsLower
{
public:
    explicit PairLower(SocketHandle s) : m_socket(s) {}
    uint32_t lowerSend(const uint8_t* bytes, uint32_t length) override
    {
        SelectSets sets;
        sets.write = true;
        if (socketSelect(m_socket, sets, 0, 20000) <= 0)
            return 0;
        int32_t n = socketSend(m_socket, bytes, static_cast<int32_t>(length));
        if (n < 0)
            throw CTlsError("pair closed");
        return static_cast<uint32_t>(n);
    }
    uint32_t lowerReceive(uint8_t* buffer, uint32_t capacity) override
    {
        SelectSets sets;
        sets.read = true;
        if (socketSelect(m_socket, sets, 0, 20000) <= 0)
            return 0;
        int32_t n = socketRecv(m_socket, buffer, static_cast<int32_t>(capacity));
        if (n <= 0)
            throw CTlsError("pair closed");
        return static_cast<uint32_t>(n);
    }

private:
    SocketHandle m_socket;
};

class TlsTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(socketPair(m_a, m_b));
        makeSelfSigned("server.pem", "server.key", "IP:127.0.0.1");
    }
    void TearDown() override
    {
        socketClose(m_a);
        socketClose(m_b);
    }
    // Runs the server's handshake on its own thread; its failure, if any.
    std::thread serve(CTlsSession& server, std::string& failure)
    {
        return std::thread(
            [&]
            {
                try
                {
                    server.handshake(Clock::now() + std::chrono::seconds(10));
                }
                catch (const std::exception& e)
                {
                    failure = e.what();
                }
            });
    }
    SocketHandle m_a = kInvalidSocket, m_b = kInvalidSocket;
};
} // namespace

TEST_F(TlsTest, BytesCrossBothWaysInsideTls13)
{
    PairLower serverLower(m_a), clientLower(m_b);
    CTlsSession server(CTlsContext::forServer("server.pem", "server.key"), serverLower);
    CTlsSession client(CTlsContext::forClient("server.pem"), clientLower, "127.0.0.1");
    std::string failure;
    std::thread t = serve(server, failure);
    client.handshake(Clock::now() + std::chrono::seconds(10));
    t.join();
    ASSERT_EQ(failure, "");
    EXPECT_EQ(client.description().rfind("TLSv1.3 ", 0), 0u) << client.description();

    // More than fits the socket buffers: each side must keep sending while the
    // other keeps reading.
    std::string sent(3u << 20, '\0');
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i * 7 + i / 4096);
    std::string got;
    std::thread reader(
        [&]
        {
            uint8_t buffer[20000];
            const auto end = Clock::now() + std::chrono::seconds(30);
            while (got.size() < sent.size() && Clock::now() < end)
                got.append(reinterpret_cast<char*>(buffer), server.receiveSome(buffer, sizeof buffer));
        });
    size_t pos = 0;
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (pos < sent.size() && Clock::now() < end)
        pos += client.sendSome(reinterpret_cast<const uint8_t*>(sent.data()) + pos,
                               static_cast<uint32_t>(std::min<size_t>(sent.size() - pos, 100000)));
    reader.join();
    EXPECT_TRUE(got == sent);
}

TEST_F(TlsTest, ClientRefusesACertificateItDoesNotTrustOrThatNamesAnotherHost)
{
    makeSelfSigned("other.pem", "other.key", "IP:127.0.0.1");
    for (const auto& [trust, host, reason] :
         {std::tuple<std::string, std::string, std::string>{"other.pem", "127.0.0.1", "certificate refused"},
          {"server.pem", "127.0.0.2", "mismatch"}})
    {
        int a = kInvalidSocket, b = kInvalidSocket;
        ASSERT_TRUE(socketPair(a, b));
        PairLower serverLower(a), clientLower(b);
        CTlsSession server(CTlsContext::forServer("server.pem", "server.key"), serverLower);
        CTlsSession client(CTlsContext::forClient(trust), clientLower, host);
        std::string failure;
        std::thread t = serve(server, failure);
        try
        {
            client.handshake(Clock::now() + std::chrono::seconds(10));
            ADD_FAILURE() << "handshake passed with " << trust << " for " << host;
        }
        catch (const CTlsError& e)
        {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
        socketClose(b);
        t.join();
        EXPECT_NE(failure, "");
        socketClose(a);
    }
}

TEST_F(TlsTest, HandshakeWithASilentPeerEndsAtTheDeadline)
{
    PairLower clientLower(m_b);
    CTlsSession client(CTlsContext::forClient("server.pem"), clientLower, "127.0.0.1");
    const auto start = Clock::now();
    EXPECT_THROW(client.handshake(start + std::chrono::milliseconds(300)), CTlsError);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

TEST_F(TlsTest, UnusableFilesAreNamed)
{
    std::ofstream("broken.pem") << "not a certificate";
    for (const auto& make : {+[] { CTlsContext::forServer("broken.pem", "server.key"); },
                             +[] { CTlsContext::forServer("server.pem", "missing.key"); },
                             +[] { CTlsContext::forClient("broken.pem"); }})
    {
        try
        {
            make();
            ADD_FAILURE() << "accepted";
        }
        catch (const CTlsError& e)
        {
            const std::string text = e.what();
            EXPECT_TRUE(text.find("broken.pem") != std::string::npos ||
                        text.find("missing.key") != std::string::npos)
                << text;
        }
    }
}

#endif
