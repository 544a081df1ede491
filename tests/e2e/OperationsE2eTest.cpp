// Running the server as operators do: the configuration file, SIGHUP and the
// draining SIGTERM on a real process, the metrics over HTTP, and a release
// published with updctl while a client is in the middle of an update.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "tests/e2e/E2eFixture.h"

namespace fs = std::filesystem;

namespace
{
const std::string kToolsDir = UPD_TOOLS_DIR;

struct ToolRun
{
    int exitCode = -1;
    std::string out, err;
};

// Runs a tool to its end (killed at the deadline) with its output in files.
ToolRun runTool(const std::vector<std::string>& argv, const fs::path& outBase, std::chrono::seconds deadline)
{
    fs::path out = outBase.string() + ".out", err = outBase.string() + ".err";
    pid_t pid = fork();
    if (pid == 0)
    {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    ToolRun run;
    int status = 0;
    if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, deadline))
    {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    else if (WIFEXITED(status))
    {
        run.exitCode = WEXITSTATUS(status);
    }
    std::ifstream o(out), e(err);
    run.out.assign(std::istreambuf_iterator<char>(o), {});
    run.err.assign(std::istreambuf_iterator<char>(e), {});
    return run;
}

bool refusesConnections(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool refused = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
    close(fd);
    return refused;
}

std::string httpGet(uint16_t port, const std::string& path)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
    {
        std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}
} // namespace

class OperationsE2e : public E2eTest
{
protected:
    // Waits for the server to exit by itself; its exit code or -1.
    int waitServerExit(std::chrono::seconds deadline)
    {
        int status = 0;
        bool ended = waitFor([&] { return waitpid(m_server, &status, WNOHANG) == m_server; }, deadline);
        if (!ended)
            return -1;
        m_server = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string serverLog() { return readFile(m_sandbox.path() / "server.err"); }
    ClientRun status() { return runClient(".", {"command", "status"}); }
};

TEST_F(OperationsE2e, ConfigFileSuppliesOptionsCommandLineWinsAndMetricsAnswerOverHttp)
{
    writeFile("content/a.txt", "alpha");
    fs::path conf = m_sandbox.path() / "updserver.conf";
    writeFile(conf, "# comment\n"
                    "root = \"/nonexistent/folder\"\n"
                    "port-file = \"" +
                        (m_sandbox.path() / "from-config.port").string() +
                        "\"\n"
                        "metrics = \"127.0.0.1:0\"\n"
                        "grace = 5\n"
                        "prepack = true\n");
    startServer("content", {"--config", conf.string()});
    EXPECT_FALSE(fs::exists(m_sandbox.path() / "from-config.port")); // the command line's --port-file won

    std::smatch m;
    std::string log = serverLog();
    ASSERT_TRUE(std::regex_search(log, m, std::regex("Metrics on 127\\.0\\.0\\.1:0 \\(port ([0-9]+)\\)")))
        << log;
    uint16_t metricsPort = static_cast<uint16_t>(std::stoi(m[1]));
    EXPECT_NE(log.find("Packing 1 files"), std::string::npos) << log; // prepack from the file

    fs::create_directory("inst");
    ASSERT_EQ(update("inst").exitCode, 0);
    // The client may be gone before the server has taken its last
    // acknowledgement and counted the file.
    std::string answer;
    waitFor(
        [&]
        {
            answer = httpGet(metricsPort, "/metrics");
            return answer.find("\nupdserver_sessions_open 0\n") != std::string::npos;
        },
        std::chrono::seconds(10));
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK", 0), 0u) << answer;
    EXPECT_NE(answer.find("\nupdserver_files_served_total 1\n"), std::string::npos) << answer;
    EXPECT_NE(answer.find("\nupdserver_release_info{release=\"content\"} 1\n"), std::string::npos) << answer;
    EXPECT_NE(answer.find("\nupdserver_cache_hits_total 1\n"), std::string::npos) << answer;

    // Log lines name the session's address and number.
    EXPECT_TRUE(
        std::regex_search(serverLog(), std::regex("127\\.0\\.0\\.1:[0-9]+ #[0-9]+: file session opened")))
        << serverLog();

    writeFile("bad.conf", "root = \"" + fs::absolute("content").string() + "\"\nno-such-option = 1\n");
    ToolRun bad = runTool({kToolsDir + "/updserver", "--config", "bad.conf", "--port", "0"},
                          m_sandbox.path() / "bad", std::chrono::seconds(20));
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_NE(bad.exitCode, -1);
    EXPECT_NE(bad.err.find("no-such-option"), std::string::npos) << bad.err;
}

TEST_F(OperationsE2e, SighupRebuildsTheListsLikeUp)
{
    writeFile("content/a.txt", "alpha");
    startServer("content", {"--allow-anonymous-changes"});
    writeFile("content/b/new.txt", "added later");
    kill(m_server, SIGHUP);
    EXPECT_TRUE(waitFor([&] { return status().out.find("published: 2 files") != std::string::npos; },
                        std::chrono::seconds(30)));
    fs::create_directory("inst");
    ASSERT_EQ(update("inst").exitCode, 0);
    EXPECT_EQ(readTree("inst"), readTree("content"));
}

TEST_F(OperationsE2e, SighupReloadsTheUsersAndEverySessionEndsWithASummary)
{
    writeFile("content/a.txt", "alpha");
    writeFile("users.txt", "op:one\n");
    startServer("content", {"--users", (m_sandbox.path() / "users.txt").string()});
    EXPECT_NE(serverLog().find("Warning: no ignore list"), std::string::npos) << serverLog();

    fs::create_directory("inst");
    ASSERT_EQ(update("inst").exitCode, 0);
    EXPECT_TRUE(waitFor(
        [&]
        {
            return std::regex_search(serverLog(), std::regex("#[0-9]+: session summary: release 'content', 1 "
                                                             "files, [1-9][0-9]* bytes, [0-9.]+ s"));
        },
        std::chrono::seconds(10)))
        << serverLog();

    auto login = [&](const char* password) {
        return runClient(".", {"--login", "op", "--password", password, "command", "status"}).exitCode;
    };
    EXPECT_EQ(login("one"), 0);
    writeFile("users.txt", "op:two\n");
    kill(m_server, SIGHUP);
    // Failed logins are held back, so the new password is tried once, after the reload.
    EXPECT_TRUE(waitFor([&] { return serverLog().find("Users reloaded: 1 accounts") != std::string::npos; },
                        std::chrono::seconds(30)))
        << serverLog();
    EXPECT_EQ(login("two"), 0);
    EXPECT_NE(login("one"), 0);
    // A file that names nobody would lock every operator out: the accounts stay.
    writeFile("users.txt", "# nobody\n");
    kill(m_server, SIGHUP);
    EXPECT_TRUE(waitFor([&] { return serverLog().find("Reloading the users failed") != std::string::npos; },
                        std::chrono::seconds(30)));
    EXPECT_EQ(login("two"), 0);
}

TEST_F(OperationsE2e, SigtermLetsTheRunningUpdateFinishAndRefusesNewClients)
{
    writeFile("content/small.txt", "small");
    writeFile("content/Huge.bin", pseudoRandom(24u << 20, 11));
    startServer("content", {"--grace", "120"});
    fs::create_directory("inst");
    pid_t client = spawnClient(
        ".",
        {"--dir", fs::absolute("inst").string(), "--list", "inst.lst", "--cache", "inst.cache", "update"},
        "draining");
    ASSERT_TRUE(waitFor(
        [&] { return readFile(m_sandbox.path() / "draining.err").find("huge.bin") != std::string::npos; },
        std::chrono::seconds(60)));
    // The client is held in the middle of its update while the server stops.
    kill(client, SIGSTOP);
    kill(m_server, SIGTERM);
    EXPECT_TRUE(waitFor([&] { return refusesConnections(port()); }, std::chrono::seconds(10)));
    EXPECT_TRUE(
        waitFor([&] { return serverLog().find("waiting up to 120 seconds for") != std::string::npos; }))
        << serverLog();
    EXPECT_EQ(waitpid(m_server, nullptr, WNOHANG), 0); // still draining
    kill(client, SIGCONT);

    ClientRun run = finishClient(client, "draining", std::chrono::seconds(120));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readTree("inst"), readTree("content"));
    EXPECT_EQ(waitServerExit(std::chrono::seconds(60)), 0) << serverLog();
}

TEST_F(OperationsE2e, ReleaseSwitchUnderARunningUpdateLeavesTheClientOnOneRelease)
{
    writeFile("src1/readme.txt", "release one");
    writeFile("src1/Data/Huge.bin", pseudoRandom(24u << 20, 21));
    writeFile("src1/Data/map.dat", "map of one");
    writeFile("src2/readme.txt", "release two, longer");
    writeFile("src2/Data/Huge.bin", pseudoRandom(1u << 20, 22));
    writeFile("src2/Data/map.dat", "map of two");
    writeFile("src2/new.txt", "new in two");
    // Releases made at different times, as real ones are.
    for (const char* f : {"src1/readme.txt", "src1/Data/Huge.bin", "src1/Data/map.dat"})
        fs::last_write_time(f, fs::last_write_time(f) - std::chrono::hours(24));
    const std::string updctl = kToolsDir + "/updctl";
    ToolRun first = runTool({updctl, "release", "--dir", "d", "--from", "src1", "--name", "r1"},
                            m_sandbox.path() / "first", std::chrono::seconds(60));
    ASSERT_EQ(first.exitCode, 0) << first.err;
    writeFile("users.txt", "operator:secret\n");
    startServer("d/current", {"--users", fs::absolute("users.txt").string()});

    fs::create_directory("inst");
    pid_t client =
        spawnClient(".", {"--dir", fs::absolute("inst").string(), "--list", "inst.lst", "update"}, "during");
    ASSERT_TRUE(waitFor(
        [&] { return readFile(m_sandbox.path() / "during.err").find("huge.bin") != std::string::npos; },
        std::chrono::seconds(60)));
    // The client is held in the middle of its update while the release changes.
    kill(client, SIGSTOP);
    ToolRun second =
        runTool({updctl, "--server", serverAddress(), "--login", "operator", "--password", "secret",
                 "release", "--dir", "d", "--from", "src2", "--name", "r2", "--keep", "0"},
                m_sandbox.path() / "second", std::chrono::seconds(120));
    ASSERT_EQ(second.exitCode, 0) << second.out << second.err;
    EXPECT_NE(second.out.find("serves r2"), std::string::npos) << second.out;
    // Release one still has a session: it is kept although --keep is 0.
    EXPECT_EQ(second.out.find("deleted r1"), std::string::npos) << second.out;
    EXPECT_TRUE(fs::is_directory("d/releases/r1"));
    kill(client, SIGCONT);

    // The client that started on release one ends with release one, whole.
    ClientRun during = finishClient(client, "during", std::chrono::seconds(120));
    ASSERT_EQ(during.exitCode, 0) << during.err;
    EXPECT_EQ(readTree("inst"), readTree("src1"));

    ClientRun after = update("inst");
    ASSERT_EQ(after.exitCode, 0) << after.err;
    EXPECT_EQ(readTree("inst"), readTree("src2"));

    // A server that does not serve the link cannot take a release: the link goes back.
    ToolRun wrong =
        runTool({updctl, "--server", "127.0.0.1:" + std::to_string(port()), "--login", "operator",
                 "--password", "secret", "release", "--dir", "other", "--from", "src1", "--name", "x1"},
                m_sandbox.path() / "wrong", std::chrono::seconds(60));
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_NE(wrong.err.find("cannot take release x1"), std::string::npos) << wrong.err;
    EXPECT_EQ(fs::read_symlink("d/current"), fs::path("releases/r2"));
}
