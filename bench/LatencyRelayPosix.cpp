// latency_relay: a TCP relay for benchmarks that makes loopback look like a
// long link. Every accepted connection is forwarded to the target; each byte is
// held for a fixed one-way delay in each direction (so the round trip grows by
// twice that), and an optional rate cap per direction is shared by all
// connections like the capacity of one link. Prints "port N" once listening.
//
// The relay reads eagerly and keeps up to --queue-mb per direction and
// connection in flight, so a sender is held back only by the delay and the cap,
// never by the relay's own buffer at the rates we measure.
#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "newupdatesystem/Common/RateLimiter.h"

namespace
{
// Bytes delivered in both directions, for --count-file.
std::atomic<uint64_t> g_delivered{0};

using Clock = std::chrono::steady_clock;

struct Settings
{
    std::chrono::microseconds delay{0};
    size_t queueLimit = size_t(64) << 20;
    sockaddr_in target{};
};

struct Piece
{
    Clock::time_point due;
    std::vector<uint8_t> bytes; // empty: the sender closed its side
};

// One direction of one connection: a reader that stamps what arrives with its
// due time, and a writer that delivers it no earlier.
class Pipe
{
public:
    Pipe(int from, int to, const Settings& settings, CRateLimiter* limiter, std::function<void()> onEnd)
        : m_from(from), m_to(to), m_settings(settings), m_limiter(limiter), m_onEnd(std::move(onEnd))
    {
    }

    void start()
    {
        m_reader = std::thread([this] { readLoop(); });
        m_writer = std::thread(
            [this]
            {
                writeLoop();
                m_onEnd();
            });
    }

    void join()
    {
        m_reader.join();
        m_writer.join();
    }

    // Wakes both threads for good, for example when the other direction failed.
    void abort()
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_aborted = true;
        }
        m_changed.notify_all();
        shutdown(m_from, SHUT_RDWR);
        shutdown(m_to, SHUT_RDWR);
    }

    bool failed() const { return m_broken.load(); }

private:
    void readLoop()
    {
        constexpr size_t kRead = 256 << 10, kSmall = 16 << 10;
        std::vector<uint8_t> buffer(kRead);
        for (;;)
        {
            ssize_t n = recv(m_from, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            Piece piece{Clock::now() + m_settings.delay, {}};
            if (n > 0 && size_t(n) < kSmall)
            {
                // Small pieces get buffers of their own size, so many of them
                // in flight do not each hold a large buffer.
                piece.bytes.assign(buffer.begin(), buffer.begin() + n);
            }
            else if (n > 0)
            {
                // Large reads hand the buffer over instead of copying it.
                buffer.resize(size_t(n));
                piece.bytes = std::move(buffer);
                buffer = std::vector<uint8_t>(kRead);
            }
            std::unique_lock<std::mutex> guard(m_lock);
            m_changed.wait(guard, [&] { return m_aborted || m_queued < m_settings.queueLimit; });
            if (m_aborted)
                return;
            if (n < 0)
                m_broken = true;
            m_queued += piece.bytes.size();
            m_queue.push_back(std::move(piece));
            m_changed.notify_all();
            if (n <= 0)
                return;
        }
    }

    void writeLoop()
    {
        for (;;)
        {
            Piece piece;
            {
                std::unique_lock<std::mutex> guard(m_lock);
                m_changed.wait(guard, [&] { return m_aborted || !m_queue.empty(); });
                if (m_aborted)
                    return;
                piece = std::move(m_queue.front());
                m_queue.pop_front();
                m_queued -= piece.bytes.size();
                m_changed.notify_all();
            }
            std::this_thread::sleep_until(piece.due);
            if (piece.bytes.empty())
            {
                shutdown(m_to, SHUT_WR);
                return;
            }
            if (!deliver(piece.bytes))
            {
                m_broken = true;
                return;
            }
        }
    }

    bool deliver(const std::vector<uint8_t>& bytes)
    {
        // Under a cap, slices small enough that the pace stays even.
        size_t slice = m_limiter ? 16384 : bytes.size();
        for (size_t done = 0; done < bytes.size();)
        {
            size_t end = std::min(done + slice, bytes.size());
            if (m_limiter)
                m_limiter->acquire(end - done);
            while (done < end)
            {
                ssize_t sent = send(m_to, bytes.data() + done, end - done, MSG_NOSIGNAL);
                if (sent < 0 && errno == EINTR)
                    continue;
                if (sent <= 0)
                    return false;
                done += size_t(sent);
                g_delivered += uint64_t(sent);
            }
        }
        return true;
    }

    int m_from, m_to;
    const Settings& m_settings;
    CRateLimiter* m_limiter;
    std::function<void()> m_onEnd;
    std::thread m_reader, m_writer;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Piece> m_queue;
    size_t m_queued = 0;
    bool m_aborted = false;
    std::atomic<bool> m_broken{false};
};

class Connection
{
public:
    Connection(int client, int server, const Settings& settings, CRateLimiter* up, CRateLimiter* down)
        : m_client(client), m_server(server), m_upstream(client, server, settings, up, [this] { ended(); }),
          m_downstream(server, client, settings, down, [this] { ended(); })
    {
        m_upstream.start();
        m_downstream.start();
    }

    ~Connection()
    {
        m_upstream.join();
        m_downstream.join();
        close(m_client);
        close(m_server);
    }

    bool finished() const { return m_writersLeft.load() == 0; }

private:
    // A reset on either side ends both directions; a clean close of one side
    // only half-closes the other, as TCP does.
    void ended()
    {
        if (m_upstream.failed() || m_downstream.failed())
        {
            m_upstream.abort();
            m_downstream.abort();
        }
        --m_writersLeft;
    }

    int m_client, m_server;
    Pipe m_upstream, m_downstream;
    std::atomic<int> m_writersLeft{2};
};

int connectTarget(const sockaddr_in& target)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    if (connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0)
    {
        close(s);
        return -1;
    }
    return s;
}

void setNoDelay(int s)
{
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app("Forwards TCP connections to a target with added delay and an optional rate cap.",
                 "latency_relay");
    std::string target, rateText = "0", portFile;
    double delayMs = 0, rttMs = -1, queueMb = 64;
    unsigned port = 0;
    app.add_option("--target", target, "HOST:PORT to forward to (IPv4 address)")->required();
    app.add_option("--port", port, "loopback port to listen on; 0 picks a free one")
        ->check(CLI::Range(0u, 65535u));
    app.add_option("--delay-ms", delayMs, "one-way delay added in each direction")
        ->check(CLI::Range(0.0, 10000.0));
    app.add_option("--rtt-ms", rttMs, "round-trip time to add (half of it each way); overrides --delay-ms")
        ->check(CLI::Range(0.0, 20000.0));
    app.add_option("--rate", rateText, "cap per direction in bytes/s (k, M, G suffixes); 0 for none");
    app.add_option("--queue-mb", queueMb, "bytes held per direction and connection")
        ->check(CLI::Range(1.0, 4096.0));
    app.add_option("--port-file", portFile, "file that receives the port once listening");
    std::string countFile;
    app.add_option("--count-file", countFile, "file that receives the bytes relayed so far, every 100 ms");
    CLI11_PARSE(app, argc, argv);

    Settings settings;
    if (rttMs >= 0)
        delayMs = rttMs / 2;
    settings.delay = std::chrono::microseconds(int64_t(delayMs * 1000));
    settings.queueLimit = size_t(queueMb * (1 << 20));
    uint64_t rate = 0;
    if (!CRateLimiter::parseRate(rateText.c_str(), rate))
    {
        std::fprintf(stderr, "latency_relay: bad --rate %s\n", rateText.c_str());
        return 2;
    }
    size_t colon = target.rfind(':');
    settings.target.sin_family = AF_INET;
    if (colon == std::string::npos ||
        inet_pton(AF_INET, target.substr(0, colon).c_str(), &settings.target.sin_addr) != 1)
    {
        std::fprintf(stderr, "latency_relay: --target must be IPV4ADDRESS:PORT\n");
        return 2;
    }
    int targetPort = std::atoi(target.c_str() + colon + 1);
    if (targetPort <= 0 || targetPort > 65535)
    {
        std::fprintf(stderr, "latency_relay: bad target port\n");
        return 2;
    }
    settings.target.sin_port = htons(uint16_t(targetPort));

    std::unique_ptr<CRateLimiter> up, down;
    if (rate > 0)
    {
        up = std::make_unique<CRateLimiter>(rate, 65536);
        down = std::make_unique<CRateLimiter>(rate, 65536);
    }

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(uint16_t(port));
    socklen_t length = sizeof local;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(listener, 128) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0)
    {
        std::perror("latency_relay: listen");
        return 1;
    }
    unsigned actual = ntohs(local.sin_port);
    if (!portFile.empty())
    {
        // Written whole under another name first, so a reader never sees half.
        std::string temp = portFile + ".tmp";
        std::ofstream(temp) << actual << "\n";
        std::rename(temp.c_str(), portFile.c_str());
    }
    std::printf("port %u\n", actual);
    std::fflush(stdout);

    if (!countFile.empty())
    {
        // Written whole under another name, like the port; runs until the relay is killed.
        std::thread(
            [countFile]
            {
                for (;;)
                {
                    std::string temp = countFile + ".tmp";
                    std::ofstream(temp) << g_delivered.load() << "\n";
                    std::rename(temp.c_str(), countFile.c_str());
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            })
            .detach();
    }
    std::list<std::unique_ptr<Connection>> connections;
    for (;;)
    {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0)
        {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE)
                continue;
            std::perror("latency_relay: accept");
            return 1;
        }
        connections.remove_if([](const std::unique_ptr<Connection>& c) { return c->finished(); });
        int server = connectTarget(settings.target);
        if (server < 0)
        {
            close(client);
            continue;
        }
        setNoDelay(client);
        setNoDelay(server);
        connections.push_back(std::make_unique<Connection>(client, server, settings, up.get(), down.get()));
    }
}
