// The update job under a rate limit: received bytes are held to the limit on
// a fake clock, reported as they pass, and a stop still ends a held-back job
// at once.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "ClientTestSupport.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{

constexpr uint64_t NS = 1000000000;

class ThrottledClient : public TestClient
{
public:
    using CUpdateClient::setThrottleTime;
    using TestClient::TestClient;
};

// Does not shrink when packed: the bytes on the wire are the file's.
std::string randomBytes(size_t size)
{
    std::mt19937 generator(7);
    std::string s(size, '\0');
    for (char& c : s)
        c = static_cast<char>(generator());
    return s;
}

class RateLimitTest : public SandboxTest
{
protected:
    void SetUp() override { fs::create_directory("game"); }
};

} // namespace

TEST_F(RateLimitTest, ReceivedBytesAreHeldToTheLimitAndReportedInFull)
{
    const std::string content = randomBytes(400 << 10);
    FakeServer server;
    server.publish({{"big.bin", content}});

    // The fake clock moves only when the worker sleeps.
    std::atomic<uint64_t> now{3 * NS}, slept{0}, longest{0};
    ThrottledClient client(server.port());
    const uint64_t rate = 100 << 10;
    client.setRateLimit(rate);
    client.setThrottleTime([&] { return now.load(); },
                           [&](uint64_t ns)
                           {
                               now += ns;
                               slept += ns;
                               if (ns > longest)
                                   longest = ns;
                           });
    RecordingCallback events;
    client.setCallback(&events);
    client.setUpdateJob("game", nullptr);
    client.start();
    ASSERT_TRUE(client.wait(20.0));
    ASSERT_EQ(UPD_OK, client.getStatus());
    EXPECT_EQ(content, readFile("game/big.bin"));

    double received = 0;
    for (const auto& e : events.events())
        if (e.event == UPD_EVENT_TRAFFIC)
            received += e.value;
    EXPECT_GT(received, double(content.size()));
    // All but the first burst waited for its time.
    double seconds = double(slept.load()) / NS;
    EXPECT_NEAR(seconds, received / double(rate), received / double(rate) * 0.1);
    EXPECT_LE(longest.load(), CTransferThrottle::SLICE_NS) << "a stop would wait longer than a slice";
}

// The launcher's window allows a stopping worker a second or two; a job held
// back by a low limit must not wait out its chunk's time first.
TEST_F(RateLimitTest, StopDuringAHeldBackChunkEndsTheJobWithinASecond)
{
    FakeServer server;
    server.publish({{"big.bin", randomBytes(200 << 10)}});

    // Stopped once the worker is half a second into its holding back.
    std::atomic<bool> holding{false};
    uint64_t held = 0;
    ThrottledClient client(server.port());
    client.setRateLimit(4096); // about four seconds a chunk
    client.setThrottleTime({},
                           [&](uint64_t ns)
                           {
                               held += ns;
                               if (held >= NS / 2)
                                   holding = true;
                               std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
                           });
    client.setUpdateJob("game", nullptr);
    client.start();
    ASSERT_TRUE(waitFor([&] { return holding.load(); }));
    CStopwatch watch;
    client.stop();
    EXPECT_TRUE(client.wait(5.0));
    EXPECT_LT(watch.elapsed(), 1.0);
    EXPECT_EQ(UPD_INTERNAL_ERROR, client.getStatus());
    EXPECT_FALSE(fs::exists("game/big.bin"));
}
