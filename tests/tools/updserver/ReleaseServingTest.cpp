// What an operator relies on while the server runs: a session keeps serving
// the release it started on across a switch, a file changed under a list is
// refused rather than sent, reloads, the draining stop, and the figures on
// the metrics endpoint, all against a server in this process on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "support/Sandbox.h"
#include "tests/tools/updserver/RawClient.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;

namespace
{
int connectTo(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

// A file session spoken in raw packets; every receive gives up after 10 s.
class Session
{
public:
    explicit Session(uint16_t port) : m_client(port) {}

    bool open() { return m_client.open(TAG_FILE); }
    // The unpacked bytes of a published name, or "<refused>".
    std::string get(const std::string& name, uint32_t subtag = SUBTAG_NRMP)
    {
        m_client.send(RawClient::get(subtag, name));
        std::string packed;
        for (;;)
        {
            uint32_t t = m_client.recv();
            if (t == TAG_ACSS)
                return "<refused>";
            if (t == TAG_ENDF)
                break;
            if (t != TAG_DATA)
                return "<broken>";
            packed.append(reinterpret_cast<const char*>(m_client.packet() + 24), m_client.length() - 24);
            m_client.send(RawClient::words({0, TAG_ACKN}));
        }
        CDataFile plain;
        plain.unpackFrom(packed.data(), static_cast<uint32_t>(packed.size()));
        return std::string(reinterpret_cast<const char*>(plain.data()), plain.size());
    }
    void quit() { m_client.send(RawClient::words({0, TAG_QUIT})); }

private:
    RawClient m_client;
};

std::string httpGet(uint16_t port, const std::string& request)
{
    int fd = connectTo(port);
    if (fd < 0)
        return "";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
        answer.append(buf, static_cast<size_t>(n));
    close(fd);
    return answer;
}

void writeFile(const fs::path& p, const std::string& bytes)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

uint32_t listedFiles(Session& s)
{
    std::string image = s.get("list", SUBTAG_SPCP);
    CFileList list;
    list.createFromBin(image.data(), static_cast<uint32_t>(image.size()));
    return list.fileCount;
}
} // namespace

class ReleaseServingTest : public SandboxTest
{
protected:
    void TearDown() override
    {
        m_stop = true;
        if (m_runner.joinable())
            m_runner.join();
    }
    void startServer(const fs::path& root, unsigned grace = 10, const std::string& metrics = "")
    {
        ServerOptions o;
        o.root = fs::absolute(root);
        o.port = 0;
        o.ioTimeoutSeconds = 10;
        o.graceSeconds = grace;
        o.metricsAddress = metrics;
        m_server = std::make_unique<CUpdServer>(o);
        m_server->start();
        m_runner = std::thread(
            [this]
            {
                m_server->run(m_stop, &m_reloads);
                m_returned = true;
            });
    }
    std::vector<std::string> command(const std::string& text)
    {
        std::vector<std::string> out;
        m_server->execCommand(text, out);
        return out;
    }

    std::unique_ptr<CUpdServer> m_server;
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned> m_reloads{0};
    std::atomic<bool> m_returned{false};
    std::thread m_runner;
};

TEST_F(ReleaseServingTest, SessionKeepsItsReleaseAcrossASwitchWhileNewSessionsGetTheNewOne)
{
    writeFile("d/releases/r1/a.txt", "one");
    writeFile("d/releases/r1/sub/b.txt", "bee of one");
    writeFile("d/releases/r2/a.txt", "two, longer");
    writeFile("d/releases/r2/sub/b.txt", "bee of two");
    writeFile("d/releases/r2/c.txt", "only in two");
    fs::create_directory_symlink("releases/r1", "d/current");
    startServer("d/current");

    Session old(m_server->port());
    ASSERT_TRUE(old.open());
    ASSERT_EQ(listedFiles(old), 2u);
    EXPECT_EQ(old.get("a.txt"), "one");

    // The switch as the release tool makes it: a new link renamed over the old.
    fs::create_directory_symlink("releases/r2", "d/next");
    fs::rename("d/next", "d/current");
    auto echo = command("up");
    EXPECT_NE(std::find(echo.begin(), echo.end(), "release: r2"), echo.end());
    EXPECT_EQ(m_server->store().releasesInUse(), (std::vector<std::string>{"r2", "r1"}));

    EXPECT_EQ(old.get("sub/b.txt"), "bee of one");
    EXPECT_EQ(old.get("a.txt"), "one");
    EXPECT_EQ(old.get("c.txt"), "<refused>"); // not in the list it holds
    EXPECT_EQ(listedFiles(old), 2u);

    Session fresh(m_server->port());
    ASSERT_TRUE(fresh.open());
    EXPECT_EQ(listedFiles(fresh), 3u);
    EXPECT_EQ(fresh.get("a.txt"), "two, longer");
    EXPECT_EQ(fresh.get("c.txt"), "only in two");

    old.quit();
    EXPECT_TRUE(waitFor([&] { return m_server->store().releasesInUse() == std::vector<std::string>{"r2"}; }));
}

TEST_F(ReleaseServingTest, FileChangedUnderItsListIsRefusedNotSentUntilTheListsAreRebuilt)
{
    writeFile("content/a.txt", "original");
    writeFile("content/b.txt", "steady");
    startServer("content");
    Session s(m_server->port());
    ASSERT_TRUE(s.open());
    ASSERT_EQ(listedFiles(s), 2u);
    writeFile("content/a.txt", "rewritten in place");

    EXPECT_EQ(s.get("a.txt"), "<refused>");
    EXPECT_EQ(s.get("b.txt"), "steady");
    EXPECT_EQ(m_server->metrics().errors(CMetrics::ERR_NOT_FOUND), 1u);

    ++m_reloads; // as SIGHUP does
    ASSERT_TRUE(waitFor(
        [&]
        {
            auto snap = m_server->store().snapshot();
            return snap->content.findEntry("a.txt")->size == 18;
        }));
    Session next(m_server->port());
    ASSERT_TRUE(next.open());
    EXPECT_EQ(next.get("a.txt"), "rewritten in place");
}

TEST_F(ReleaseServingTest, StopLetsARunningSessionFinishButAcceptsNoNewOne)
{
    writeFile("content/a.txt", "payload");
    startServer("content", 30);
    Session s(m_server->port());
    ASSERT_TRUE(s.open());
    m_stop = true;
    // The listener goes; the open session is still served.
    ASSERT_TRUE(waitFor(
        [&]
        {
            int fd = connectTo(m_server->port());
            if (fd >= 0)
                close(fd);
            return fd < 0;
        }));
    EXPECT_EQ(s.get("a.txt"), "payload");
    EXPECT_FALSE(m_returned.load());
    s.quit();
    EXPECT_TRUE(waitFor([&] { return m_returned.load(); }));
}

TEST_F(ReleaseServingTest, StopEndsSessionsThatOutliveTheGraceTime)
{
    writeFile("content/a.txt", "payload");
    startServer("content", 0);
    Session s(m_server->port());
    ASSERT_TRUE(s.open());
    m_stop = true;
    // Well before the session's own 10-second silence limit.
    EXPECT_TRUE(waitFor([&] { return m_returned.load(); }, std::chrono::seconds(5)));
}

TEST_F(ReleaseServingTest, MetricsEndpointServesTheFiguresOverHttp)
{
    writeFile("content/a.txt", "payload");
    startServer("content", 10, "127.0.0.1:0");
    ASSERT_NE(m_server->metricsPort(), 0);
    {
        Session s(m_server->port());
        ASSERT_TRUE(s.open());
        ASSERT_EQ(s.get("a.txt"), "payload");
        ASSERT_EQ(s.get("a.txt"), "payload");
        ASSERT_EQ(s.get("missing.txt"), "<refused>");
        s.quit();
    }
    ASSERT_TRUE(waitFor([&] { return m_server->sample().sessionsOpen == 0; }));

    std::string answer = httpGet(m_server->metricsPort(), "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    std::string body = answer.substr(answer.find("\r\n\r\n") + 4);
    for (const char* line :
         {"updserver_sessions_open 0\n", "updserver_sessions_total 1\n", "updserver_files_served_total 2\n",
          "updserver_cache_hits_total 1\n", "updserver_cache_misses_total 1\n",
          "updserver_errors_total{kind=\"not_found\"} 1\n", "updserver_errors_total{kind=\"protocol\"} 0\n",
          "updserver_release_info{release=\"content\"} 1\n", "updserver_published_files 1\n",
          "# TYPE updserver_bytes_served_total counter\n"})
        EXPECT_NE(body.find(line), std::string::npos) << line << body;

    // "status" reports the same figures.
    auto status = command("status");
    EXPECT_NE(std::find(status.begin(), status.end(), "updserver_files_served_total 2"), status.end());
    EXPECT_NE(std::find(status.begin(), status.end(), "release: content"), status.end());

    EXPECT_EQ(httpGet(m_server->metricsPort(), "GET /other HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(httpGet(m_server->metricsPort(), "POST /metrics HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 405", 0),
              0u);
    std::string head = httpGet(m_server->metricsPort(), "HEAD /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "");
}
