// Failures around the server: not running, killed mid-transfer, suspended,
// and many clients at once.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/E2eFixture.h"

namespace fs = std::filesystem;

class FaultE2e : public E2eTest
{
};

TEST_F(FaultE2e, ServerNotRunningGivesStatus3)
{
    // A port that was free a moment ago and has no listener now.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_serverPort = ntohs(a.sin_port);
    close(fd);
    fs::create_directory("inst");
    EXPECT_EQ(update("inst").exitCode, 3);
}

TEST_F(FaultE2e, ServerKilledMidTransferThenRestartedCompletesTheUpdate)
{
    writeFile("content/small.txt", "small");
    writeFile("content/Huge.bin", pseudoRandom(24u << 20, 7));
    startServer("content");
    fs::create_directory("inst");
    pid_t client = spawnClient(
        ".",
        {"--dir", fs::absolute("inst").string(), "--list", "inst.lst", "--cache", "inst.cache", "update"},
        "killed");
    ASSERT_TRUE(waitFor(
        [&] { return readFile(m_sandbox.path() / "killed.err").find("huge.bin") != std::string::npos; },
        std::chrono::seconds(60)));
    killServer(SIGKILL);
    ClientRun broken = finishClient(client, "killed", std::chrono::seconds(60));
    EXPECT_NE(broken.exitCode, 0);

    startServer("content");
    ClientRun run = update("inst");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readTree("inst"), readTree("content"));
}

TEST_F(FaultE2e, SuspendedServerTurnsClientsAwayUntilUp)
{
    writeFile("content/x.txt", "x");
    startServer("content", {"--allow-anonymous-changes"});
    ASSERT_EQ(runClient(".", {"command", "suspend"}).exitCode, 0);
    fs::create_directory("inst");
    EXPECT_EQ(update("inst").exitCode, 7);
    ASSERT_EQ(runClient(".", {"command", "up"}).exitCode, 0);
    EXPECT_EQ(update("inst").exitCode, 0);
    EXPECT_EQ(readTree("inst"), readTree("content"));
}

// The deadline is long enough that a loaded machine still starts the first
// update while the idle connections hold their slots.
TEST_F(FaultE2e, IdleConnectionsOfOneHostGetItsClientsBusyNotAResetUntilTheyExpire)
{
    writeFile("content/x.txt", "x");
    startServer("content", {"--max-per-address", "3", "--handshake-timeout", "8"});
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        idle.push_back(fd);
    }
    fs::create_directory("inst");
    EXPECT_EQ(update("inst").exitCode, 7) << "busy while the host holds its slots";
    // The server closes connections that never open a session.
    for (int fd : idle)
    {
        EXPECT_TRUE(waitFor(
            [fd]
            {
                pollfd p{fd, POLLIN, 0};
                char c;
                return poll(&p, 1, 100) > 0 && recv(fd, &c, 1, MSG_DONTWAIT) == 0;
            },
            std::chrono::seconds(30)));
        close(fd);
    }
    ClientRun run = update("inst");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readTree("inst"), readTree("content"));
}

TEST_F(FaultE2e, TwentyClientsAtOnceAllSucceed)
{
    for (int i = 0; i < 12; ++i)
        writeFile("content/dir" + std::to_string(i % 3) + "/file" + std::to_string(i) + ".bin",
                  pseudoRandom(20000 + 5000 * i, i));
    startServer("content");
    std::vector<std::pair<pid_t, std::string>> clients;
    for (int i = 0; i < 20; ++i)
    {
        std::string name = "inst" + std::to_string(i);
        fs::create_directory(name);
        clients.emplace_back(
            spawnClient(".", {"--dir", fs::absolute(name).string(), "--list", name + ".lst", "update"}, name),
            name);
    }
    Tree expected = readTree("content");
    for (auto& [pid, name] : clients)
    {
        ClientRun run = finishClient(pid, name, std::chrono::seconds(180));
        EXPECT_EQ(run.exitCode, 0) << name << "\n" << run.err;
        EXPECT_EQ(readTree(name), expected) << name;
    }
}
