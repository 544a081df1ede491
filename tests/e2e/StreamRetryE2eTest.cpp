// A broken frame in the middle of a streamed download, while the server is
// still answering requests the client sent ahead: the client runs the job
// again, and the late answers must not be read as the new run's.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "newupdatesystem/Common/ProtoTags.h"
#include "tests/e2e/E2eFixture.h"

namespace fs = std::filesystem;

namespace
{
bool contains(const std::string& bytes, const char* tag)
{
    return bytes.find(tag) != std::string::npos;
}

// Relays connections to the server. On the first one, once the client asked
// for a file range, it ends the server's next frame with a broken frame of
// its own and holds back everything the server sends after it until the
// client sends a new request on that connection: the late answers then
// arrive after the rerun began there. Later connections pass unchanged.
class BreakingRelay
{
public:
    explicit BreakingRelay(uint16_t serverPort) : m_serverPort(serverPort)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_listener, 8);
        socklen_t len = sizeof a;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~BreakingRelay()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    uint16_t port() const { return m_port; }
    int connections() const { return m_connections; }
    bool broke() const { return m_broke; }

private:
    struct Pair
    {
        int client = -1;
        int server = -1;
        bool first = false;
        std::string fromClient; // what the client sent, for its tags
        std::string held;       // the server's bytes held back
        bool holding = false;
        size_t requestsBefore = 0;
    };

    static size_t requests(const std::string& s)
    {
        size_t n = 0;
        for (const char* tag : {"SGet", "SLst", "GetS", "Get ", "Strm", "Init"})
            for (size_t at = s.find(tag); at != std::string::npos; at = s.find(tag, at + 1))
                ++n;
        return n;
    }

    void run()
    {
        std::vector<Pair> pairs;
        while (!m_stop)
        {
            std::vector<pollfd> fds{{m_listener, POLLIN, 0}};
            for (const Pair& p : pairs)
            {
                fds.push_back({p.client, POLLIN, 0});
                fds.push_back({p.server, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            // A pair accepted now has no entry in fds until the next poll.
            const size_t polled = pairs.size();
            if (fds[0].revents & POLLIN)
                accept(pairs);
            for (size_t i = 0; i < polled; ++i)
            {
                Pair& p = pairs[i];
                bool open = true;
                if (fds[1 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR))
                    open = fromClient(p);
                if (open && (fds[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)))
                    open = fromServer(p);
                if (!open)
                {
                    ::close(p.client);
                    ::close(p.server);
                    p.client = p.server = -1;
                }
            }
            std::erase_if(pairs, [](const Pair& p) { return p.client < 0; });
        }
        for (Pair& p : pairs)
        {
            ::close(p.client);
            ::close(p.server);
        }
    }

    void accept(std::vector<Pair>& pairs)
    {
        Pair p;
        p.client = ::accept(m_listener, nullptr, nullptr);
        p.server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(m_serverPort);
        ::connect(p.server, reinterpret_cast<sockaddr*>(&a), sizeof a);
        p.first = ++m_connections == 1;
        pairs.push_back(p);
    }

    static bool sendAll(int fd, const char* bytes, size_t n)
    {
        while (n > 0)
        {
            ssize_t k = ::send(fd, bytes, n, MSG_NOSIGNAL);
            if (k <= 0)
                return false;
            bytes += k;
            n -= size_t(k);
        }
        return true;
    }

    bool fromClient(Pair& p)
    {
        char buf[65536];
        ssize_t n = ::recv(p.client, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        if (p.first)
            p.fromClient.append(buf, size_t(n));
        if (p.holding && requests(p.fromClient) > p.requestsBefore)
        {
            // The rerun asked for something here: now the late answers come.
            p.holding = false;
            if (!sendAll(p.client, p.held.data(), p.held.size()))
                return false;
            p.held.clear();
        }
        return sendAll(p.server, buf, size_t(n));
    }

    bool fromServer(Pair& p)
    {
        char buf[65536];
        ssize_t n = ::recv(p.server, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        std::string bytes(buf, size_t(n));
        if (p.first && !m_broke && contains(p.fromClient, "SGet"))
        {
            size_t end = bytes.find(char(FRAME_END));
            if (end != std::string::npos)
            {
                const char broken[] = {'x', 'y', char(FRAME_END)};
                std::string out = bytes.substr(0, end + 1) + std::string(broken, sizeof broken);
                p.held = bytes.substr(end + 1);
                p.holding = true;
                p.requestsBefore = requests(p.fromClient);
                m_broke = true;
                return sendAll(p.client, out.data(), out.size());
            }
        }
        if (p.holding)
        {
            p.held += bytes;
            return true;
        }
        return sendAll(p.client, bytes.data(), bytes.size());
    }

    uint16_t m_serverPort;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::atomic<bool> m_broke{false};
    std::thread m_thread;
};
} // namespace

class StreamRetryE2e : public E2eTest
{
};

TEST_F(StreamRetryE2e, ABrokenFrameWhileAnswersAreOnTheirWayRunsTheJobAgainOnAFreshConnection)
{
    for (int i = 0; i < 40; ++i)
        writeFile("content/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".bin",
                  pseudoRandom(20000 + 3000 * size_t(i), uint32_t(i)));
    fs::create_directory("inst");
    startServer("content");
    BreakingRelay relay(port());
    m_serverPort = relay.port();
    ClientRun run = update("inst", {}, std::chrono::seconds(60));
    ASSERT_TRUE(relay.broke());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("Repeating the job"), std::string::npos) << run.err;
    EXPECT_EQ(relay.connections(), 2) << "the rerun starts on a connection of its own";
    EXPECT_EQ(readTree("inst"), readTree("content"));
}
