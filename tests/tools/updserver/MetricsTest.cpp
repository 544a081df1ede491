// The metrics text a scraper parses and the HTTP answers around it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <vector>

#include "tools/updserver/Metrics.h"
#include "tools/updserver/MetricsEndpoint.h"

TEST(MetricsTest, TextDeclaresEveryFamilyOnceAndEscapesLabels)
{
    CMetrics::Sample s;
    s.sessionsOpen = 3;
    s.bytesServed = 1234567890123ull;
    s.packSeconds = 1.5;
    s.errors[CMetrics::ERR_TIMEOUT] = 4;
    s.releasesInUse = {"new\"one", "old\\one"};
    std::string text = CMetrics::prometheusText(s);

    EXPECT_NE(text.find("updserver_sessions_open 3\n"), std::string::npos);
    EXPECT_NE(text.find("updserver_bytes_served_total 1234567890123\n"), std::string::npos);
    EXPECT_NE(text.find("updserver_pack_seconds_total 1.500000\n"), std::string::npos);
    EXPECT_NE(text.find("updserver_errors_total{kind=\"timeout\"} 4\n"), std::string::npos);
    EXPECT_NE(text.find("updserver_release_info{release=\"new\\\"one\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("updserver_release_info{release=\"old\\\\one\"} 0\n"), std::string::npos);

    // Each sample line belongs to a family declared by a TYPE line before it.
    std::istringstream lines(text);
    std::string line, declared;
    int types = 0;
    while (std::getline(lines, line))
    {
        ASSERT_FALSE(line.empty());
        if (line.rfind("# TYPE ", 0) == 0)
        {
            declared = line.substr(7, line.find(' ', 7) - 7);
            ++types;
            EXPECT_EQ(text.find("# TYPE " + declared + " "), text.rfind("# TYPE " + declared + " "))
                << declared;
        }
        else if (line[0] != '#')
        {
            EXPECT_EQ(line.rfind(declared, 0), 0u) << line;
        }
    }
    EXPECT_GE(types, 14);
    EXPECT_EQ(text.back(), '\n');

    // The status lines carry exactly the sample lines.
    for (const std::string& l : CMetrics::statusLines(s))
        EXPECT_NE(text.find(l + "\n"), std::string::npos) << l;
}

TEST(MetricsTest, EndpointAnswersOnlyGetAndHeadOfMetrics)
{
    auto source = [] { return std::string("x 1\n"); };
    std::string ok = CMetricsEndpoint::respond("GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", source);
    EXPECT_EQ(ok.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_NE(ok.find("Content-Length: 4\r\n"), std::string::npos);
    EXPECT_EQ(ok.substr(ok.size() - 4), "x 1\n");
    std::string head = CMetricsEndpoint::respond("HEAD /metrics HTTP/1.1\r\n\r\n", source);
    EXPECT_NE(head.find("Content-Length: 4\r\n"), std::string::npos);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    EXPECT_EQ(CMetricsEndpoint::respond("GET / HTTP/1.1\r\n\r\n", source).rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(CMetricsEndpoint::respond("DELETE /metrics HTTP/1.1\r\n\r\n", source).rfind("HTTP/1.0 405", 0),
              0u);
    EXPECT_EQ(CMetricsEndpoint::respond("garbage\r\n\r\n", source).rfind("HTTP/1.0 400", 0), 0u);

    CMetricsEndpoint endpoint;
    EXPECT_THROW(endpoint.start("127.0.0.1:99999", source), std::invalid_argument);
    EXPECT_THROW(endpoint.start("host:", source), std::invalid_argument);
}

namespace
{
int connectTo(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : (close(fd), -1);
}
} // namespace

TEST(MetricsTest, IdleConnectionsDoNotHoldUpAScrape)
{
    CMetricsEndpoint endpoint;
    endpoint.start("127.0.0.1:0", [] { return std::string("x 1\n"); });
    std::vector<int> idle;
    for (int i = 0; i < 10; ++i)
        idle.push_back(connectTo(endpoint.port()));
    int scrape = connectTo(endpoint.port());
    ASSERT_GE(scrape, 0);
    const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
    ASSERT_EQ(send(scrape, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    std::string answer;
    char buffer[1024];
    for (ssize_t n; (n = recv(scrape, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, size_t(n));
    close(scrape);
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    // Answered while every idle connection still waits for its deadline.
    int stillOpen = 0;
    for (int fd : idle)
    {
        pollfd p{fd, POLLIN, 0};
        stillOpen += fd >= 0 && poll(&p, 1, 0) == 0 ? 1 : 0;
        close(fd);
    }
    EXPECT_EQ(stillOpen, 10);
    endpoint.stop();
}
