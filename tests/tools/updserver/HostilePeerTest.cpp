// The server against peers that hold what they can: descriptors through
// empty ranges, slots through requests that move nothing, repeats of one
// segment, and connections while descriptors have run out. Scripted raw
// peers on loopback; each host is a different loopback address.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "newupdatesystem/Common/StreamProto.h"
#include "support/Sandbox.h"
#include "tests/tools/updserver/RawClient.h"
#include "tools/updserver/ServerSession.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace
{
constexpr uint64_t kZeros = (1u << 20) + 200000;  // two segments
constexpr uint64_t kLonger = (2u << 20) + 100000; // three

size_t openDescriptors()
{
    size_t n = 0;
    for (auto& e : fs::directory_iterator("/proc/self/fd"))
    {
        (void)e;
        ++n;
    }
    return n;
}

std::vector<uint8_t> rangeRequest(uint32_t tag, const std::string& name, uint64_t offset, uint64_t length,
                                  uint64_t credit)
{
    return RawClient::withText(
        RawClient::words({PACKET_SIGNATURE, tag, uint32_t(offset), uint32_t(offset >> 32), uint32_t(length),
                          uint32_t(length >> 32), uint32_t(credit), uint32_t(credit >> 32)}),
        name);
}

std::vector<uint8_t> repeatFrom(uint64_t offset)
{
    return RawClient::words({PACKET_SIGNATURE, TAG_SREP, uint32_t(offset), uint32_t(offset >> 32)});
}

bool openStream(RawClient& c)
{
    if (!c.open(TAG_FILE))
        return false;
    c.send(RawClient::words({PACKET_SIGNATURE, TAG_STRM, STREAM_VERSION, 1u << 20}));
    return c.recv() == TAG_STRM;
}

// Reads packets up to the count of "SDat" whose chunk ends its segment.
bool segmentsArrive(RawClient& c, int count)
{
    while (count > 0)
    {
        uint32_t t = c.recv();
        if (t == 0 || t == TAG_ACSS)
            return false;
        if (t == TAG_SDAT &&
            getLe32(c.packet() + 28) + c.length() - SDAT_HEAD_SIZE == getLe32(c.packet() + 20))
            --count;
    }
    return true;
}
} // namespace

class HostilePeerTest : public SandboxTest
{
protected:
    void SetUp() override
    {
        fs::create_directories("content/maps");
        std::ofstream("content/maps/town.dat") << "town data";
        std::ofstream("content/zeros.bin", std::ios::binary) << std::string(kZeros, '\0');
        std::ofstream("content/longer.bin", std::ios::binary) << std::string(kLonger, '\0');
        m_options.root = fs::absolute("content");
        m_options.port = 0;
        m_options.ioTimeoutSeconds = 10;
    }
    void TearDown() override
    {
        m_stop = true;
        if (m_runner.joinable())
            m_runner.join();
    }
    void startServer()
    {
        m_server = std::make_unique<CUpdServer>(m_options);
        m_server->start();
        m_runner = std::thread([this] { m_server->run(m_stop); });
    }
    uint16_t port() const { return m_server->port(); }

    ServerOptions m_options;
    std::unique_ptr<CUpdServer> m_server;
    std::atomic<bool> m_stop{false};
    std::thread m_runner;
};

TEST_F(HostilePeerTest, EmptyRangesAskedAheadHoldNoDescriptors)
{
    startServer();
    RawClient c(port());
    ASSERT_TRUE(openStream(c));
    const size_t before = openDescriptors();
    // One range sent whole and never acknowledged, then empty ones behind it.
    c.send(rangeRequest(TAG_SGET, "zeros.bin", 0, kZeros, kZeros));
    constexpr int kEmpty = 200;
    for (int i = 0; i < kEmpty; ++i)
        c.send(rangeRequest(TAG_SGET, i % 2 ? "maps/town.dat" : "zeros.bin", 0, 0, 0));
    int answers = 0;
    while (answers < kEmpty + 1)
    {
        uint32_t t = c.recv();
        ASSERT_NE(t, 0u) << "after " << answers << " answers";
        if (t == TAG_SINF)
            ++answers;
    }
    EXPECT_LE(openDescriptors(), before + 2) << "every empty range answered, none of them open";
}

TEST_F(HostilePeerTest, ASegmentAskedForAgainMoreThanEightTimesInARowEndsTheSession)
{
    startServer();
    {
        RawClient c(port());
        ASSERT_TRUE(openStream(c));
        c.send(rangeRequest(TAG_SGET, "zeros.bin", 0, kZeros, 1u << 20));
        ASSERT_EQ(c.recv(), TAG_SINF);
        ASSERT_TRUE(segmentsArrive(c, 1));
        for (int i = 0; i < 8; ++i)
        {
            c.send(repeatFrom(0));
            ASSERT_TRUE(segmentsArrive(c, 1)) << "repeat " << i + 1;
        }
        c.send(repeatFrom(0));
        EXPECT_TRUE(c.closedByServer(10s)) << "the ninth in a row";
    }
    {
        // Alternating segments never make a run, but the session's repeats
        // in all are bounded.
        RawClient c(port());
        ASSERT_TRUE(openStream(c));
        c.send(rangeRequest(TAG_SGET, "longer.bin", 0, kLonger, kLonger));
        ASSERT_EQ(c.recv(), TAG_SINF);
        ASSERT_TRUE(segmentsArrive(c, 3));
        for (unsigned i = 0; i < CServerSession::kMaxStreamRepeats; ++i)
        {
            const bool first = i % 2 == 0;
            c.send(repeatFrom(first ? 0 : 1u << 20));
            ASSERT_TRUE(segmentsArrive(c, first ? 3 : 2)) << "repeat " << i + 1;
        }
        c.send(repeatFrom(0));
        EXPECT_TRUE(c.closedByServer(10s)) << "one repeat beyond the session's allowance";
    }
}

TEST_F(HostilePeerTest, SessionsThatMoveNothingYieldTheirSlotsAndAreClosedAfterAWindow)
{
    m_options.maxClients = 4;
    m_options.maxPerAddress = 4;
    m_options.yieldAfterSeconds = 1;
    m_options.progressWindowSeconds = 3;
    startServer();
    // A host takes every slot with sessions that only ask for checksums.
    std::vector<std::unique_ptr<RawClient>> holders;
    for (int i = 0; i < 4; ++i)
    {
        holders.push_back(std::make_unique<RawClient>(port(), "127.0.0.2"));
        ASSERT_TRUE(holders.back()->open(TAG_FILE));
        holders.back()->send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_GETS}), "list"));
        ASSERT_EQ(holders.back()->recv(), TAG_FSUM);
    }
    // A real client gets a slot once they have gone a while without progress.
    std::string list;
    EXPECT_TRUE(waitFor(
        [&]
        {
            RawClient c(port(), "127.0.0.1");
            if (!c.open(TAG_FILE))
                return false;
            c.send(RawClient::get(SUBTAG_SPCP, "list"));
            return c.receiveFile(list);
        },
        10s));
    int closed = 0;
    for (auto& h : holders)
        closed += h->closedByServer(300ms) ? 1 : 0;
    EXPECT_GE(closed, 1) << "one gave its slot to the client";
    // The rest are closed at the end of their first window, whatever they send.
    for (auto& h : holders)
    {
        h->send(RawClient::withText(RawClient::words({PACKET_SIGNATURE, TAG_GETS}), "list"));
        EXPECT_TRUE(h->closedByServer(10s));
    }
    EXPECT_TRUE(waitFor([&] { return m_server->addresses().sessions("127.0.0.2") == 0; }));
}

TEST_F(HostilePeerTest, AConnectionArrivingWithoutDescriptorsLeftIsClosedNotLeftPending)
{
    startServer();
    // Sockets made first: connecting needs no new descriptor.
    int waiting = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(waiting, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int highest = 0;
    for (auto& e : fs::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::stoi(e.path().filename().string()));
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(highest) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers; // whatever numbers are still free below the limit
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(waiting, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    // The server cannot take it: it must close it rather than spin on it.
    pollfd p{waiting, POLLIN, 0};
    bool ended = poll(&p, 1, 10000) == 1;
    char byte = 0;
    ended = ended && recv(waiting, &byte, 1, 0) <= 0;
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    close(waiting);
    EXPECT_TRUE(ended);
    RawClient c(port());
    EXPECT_TRUE(c.open(TAG_FILE)) << "served again once descriptors are there";
}

namespace
{
// A field of /proc/self/status in KiB, or -1.
long statusKib(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::strlen(field)));
    return -1;
}
} // namespace

// What the server queues for a peer that stops reading is what the socket
// takes and one segment: the session sends only what the socket accepts, and
// it goes when the peer makes no progress. The peak resident size is the
// kernel's counter, reset before the request.
TEST_F(HostilePeerTest, APeerThatStopsReadingHoldsNoMoreThanASegmentOfMemory)
{
    constexpr uint64_t kNoise = 24u << 20;
    {
        std::ofstream out("content/noise.bin", std::ios::binary);
        std::string block(1u << 20, '\0');
        uint32_t x = 5;
        for (uint64_t done = 0; done < kNoise; done += block.size())
        {
            for (char& ch : block)
                ch = char((x = x * 1103515245u + 12345u) >> 24);
            out << block;
        }
    }
    m_options.ioTimeoutSeconds = 3;
    m_options.progressWindowSeconds = 3;
    startServer();
    RawClient c(port());
    ASSERT_TRUE(c.open(TAG_FILE));
    c.send(RawClient::words({PACKET_SIGNATURE, TAG_STRM, STREAM_VERSION, STREAM_MAX_WINDOW}));
    ASSERT_EQ(c.recv(), TAG_STRM);
    if (!(std::ofstream("/proc/self/clear_refs") << "5" << std::flush))
        GTEST_SKIP() << "the peak resident size cannot be reset here";
    const long before = statusKib("VmRSS:");
    // The whole file may be sent without an answer; the client reads nothing.
    c.send(rangeRequest(TAG_SGET, "noise.bin", 0, kNoise, kNoise));
    EXPECT_TRUE(waitFor([&] { return m_server->addresses().sessions("127.0.0.1") == 0; }, 20s))
        << "a session whose peer reads nothing is closed";
    const long peak = statusKib("VmHWM:");
    RecordProperty("peakGrowthKiB", static_cast<int>(peak - before));
    EXPECT_LT(peak - before, 8L << 10)
        << "peak grew by " << (peak - before) << " KiB for a range of " << (kNoise >> 10) << " KiB";
}
