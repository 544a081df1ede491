// The private channel between the real tools: what a relay in the middle
// sees of a download and a login, and the refusals of a client that asked
// for TLS and did not get it from the server it trusts.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "support/TestCerts.h"
#include "tests/e2e/E2eFixture.h"

namespace fs = std::filesystem;

namespace
{
// Passes connections on loopback to the server and keeps every byte that
// crosses, both ways.
class RecordingRelay
{
public:
    explicit RecordingRelay(uint16_t target) : m_target(target)
    {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_listener, 8) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &size) != 0)
            throw std::runtime_error("relay cannot listen");
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~RecordingRelay()
    {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }
    uint16_t port() const { return m_port; }
    std::string captured()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_bytes;
    }

private:
    void run()
    {
        while (!m_stop)
        {
            pollfd p{m_listener, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int client = accept(m_listener, nullptr, nullptr);
            int server = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(m_target);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (client >= 0 && connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                pump(client, server);
            close(client);
            close(server);
        }
    }
    // One connection at a time until either side closes.
    void pump(int client, int server)
    {
        char buffer[65536];
        while (!m_stop)
        {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2; ++i)
            {
                if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                    continue;
                ssize_t n = recv(p[i].fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    return;
                {
                    std::lock_guard<std::mutex> hold(m_lock);
                    m_bytes.append(buffer, static_cast<size_t>(n));
                }
                if (send(i == 0 ? server : client, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                    return;
            }
        }
    }

    uint16_t m_target;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_lock;
    std::string m_bytes;
};

constexpr int kAuthFailed = 6;
} // namespace

class TlsE2e : public E2eTest
{
protected:
    void SetUp() override
    {
        makeSelfSigned("server.pem", "server.key", "IP:127.0.0.1");
        writeFile("users.txt", "keeper:Pw4TlsOnly\n");
        // Random bytes are stored, not packed: without TLS they would cross
        // as they are.
        m_secret = pseudoRandom(200000, 21);
        writeFile("content/maps/secret.bin", m_secret);
        writeFile("content/readme.txt", "a plain file");
    }
    std::vector<std::string> tlsServer() const
    {
        return {"--tls-cert", fs::absolute("server.pem").string(),
                "--tls-key",  fs::absolute("server.key").string(),
                "--users",    fs::absolute("users.txt").string()};
    }
    ClientRun updateThrough(RecordingRelay& relay, const std::string& folder,
                            const std::vector<std::string>& extra)
    {
        const uint16_t server = m_serverPort;
        m_serverPort = relay.port();
        fs::create_directory(folder);
        std::vector<std::string> args = {"--login", "keeper", "--password", "Pw4TlsOnly"};
        args.insert(args.end(), extra.begin(), extra.end());
        ClientRun run = update(folder, args);
        m_serverPort = server;
        return run;
    }
    bool sawSecret(const std::string& wire) const
    {
        return wire.find(m_secret.substr(100000, 64)) != std::string::npos;
    }
    std::string m_secret;
};

TEST_F(TlsE2e, RelayCapturesNeitherLoginNorContentOfATlsDownload)
{
    startServer("content", tlsServer());
    {
        // The same run in clear shows what the capture would catch.
        RecordingRelay relay(port());
        ClientRun clear = updateThrough(relay, "clear", {});
        ASSERT_EQ(clear.exitCode, 0) << clear.err;
        const std::string wire = relay.captured();
        EXPECT_TRUE(sawSecret(wire));
        EXPECT_NE(wire.find("keeper"), std::string::npos);
    }
    RecordingRelay relay(port());
    ClientRun run = updateThrough(relay, "inst", {"--tls-ca", fs::absolute("server.pem").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readTree("inst"), readTree("content"));
    EXPECT_NE(run.err.find("Private channel open (TLSv1.3"), std::string::npos) << run.err;
    const std::string wire = relay.captured();
    EXPECT_FALSE(sawSecret(wire));
    for (const char* plain : {"keeper", "Pw4TlsOnly", "secret.bin", "readme", "a plain file"})
        EXPECT_EQ(wire.find(plain), std::string::npos) << plain;
    EXPECT_GT(wire.size(), m_secret.size());
}

TEST_F(TlsE2e, ClientRefusesAWrongCertificateAndAServerWithoutTls)
{
    makeSelfSigned("other.pem", "other.key", "IP:127.0.0.1");
    makeSelfSigned("named.pem", "named.key", "DNS:updates.example.org");
    startServer("content", tlsServer());
    fs::create_directory("inst");
    ClientRun wrong = update("inst", {"--tls-ca", fs::absolute("other.pem").string()});
    EXPECT_EQ(wrong.exitCode, kAuthFailed) << wrong.err;
    EXPECT_NE(wrong.err.find("TLS refused: TLS handshake failed: certificate refused"), std::string::npos)
        << wrong.err;
    EXPECT_TRUE(readTree("inst").empty());

    // The server's own certificate, but it names another host.
    killServer(SIGTERM);
    startServer("content", {"--tls-cert", fs::absolute("named.pem").string(), "--tls-key",
                            fs::absolute("named.key").string()});
    ClientRun misnamed = update("inst", {"--tls-ca", fs::absolute("named.pem").string()});
    EXPECT_EQ(misnamed.exitCode, kAuthFailed) << misnamed.err;
    EXPECT_NE(misnamed.err.find("mismatch"), std::string::npos) << misnamed.err;

    killServer(SIGTERM);
    startServer("content");
    ClientRun clear = update("inst", {"--tls-ca", fs::absolute("server.pem").string()});
    EXPECT_EQ(clear.exitCode, kAuthFailed) << clear.err;
    EXPECT_NE(clear.err.find("TLS refused: the server does not offer TLS"), std::string::npos) << clear.err;
    EXPECT_TRUE(readTree("inst").empty());
}

TEST_F(TlsE2e, ControlSessionRunsInsideTlsAndARequiringServerTurnsClearClientsAway)
{
    std::vector<std::string> options = tlsServer();
    options.push_back("--tls-required");
    startServer("content", options);
    ClientRun status = runClient(".", {"--login", "keeper", "--password", "Pw4TlsOnly", "--tls-ca",
                                       fs::absolute("server.pem").string(), "command", "status"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_NE(status.out.find("published: 2 files"), std::string::npos) << status.out;

    fs::create_directory("inst");
    ClientRun clear = update("inst");
    EXPECT_NE(clear.exitCode, 0);
    EXPECT_TRUE(readTree("inst").empty());
}
