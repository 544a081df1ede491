#include "tests/e2e/E2eFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace
{
const std::string kTools = UPD_TOOLS_DIR;

pid_t spawn(const std::vector<std::string>& argv, const fs::path& cwd, const fs::path& out,
            const fs::path& err)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Child: only async-signal-safe calls from here on.
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || chdir(cwd.c_str()) != 0)
        _exit(127);
    dup2(o, 1);
    dup2(e, 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// The exit code, or -1 when the deadline passed (the child is then killed).
int waitExit(pid_t pid, std::chrono::milliseconds deadline)
{
    int status = 0;
    bool ended = waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, deadline);
    if (!ended)
    {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
} // namespace

void E2eTest::TearDown()
{
    if (m_server > 0)
        killServer(SIGTERM);
    for (pid_t pid : m_children)
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    m_children.clear();
}

void E2eTest::startServer(const fs::path& content, const std::vector<std::string>& extra)
{
    ++m_serverRuns;
    fs::path portFile = m_sandbox.path() / ("port" + std::to_string(m_serverRuns));
    fs::path logDir = m_sandbox.path() / "serverlog";
    fs::create_directories(logDir);
    std::vector<std::string> argv = {kTools + "/updserver",
                                     "--root",
                                     fs::absolute(content).string(),
                                     "--port",
                                     "0",
                                     "--port-file",
                                     portFile.string(),
                                     "--log-dir",
                                     logDir.string(),
                                     "--timeout",
                                     "20"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    m_server =
        spawn(argv, m_sandbox.path(), m_sandbox.path() / "server.out", m_sandbox.path() / "server.err");
    ASSERT_GT(m_server, 0);
    // It checksums the whole tree before it listens: a long time for a large
    // file under the sanitizers on a loaded machine.
    bool up = waitFor([&] { return fs::exists(portFile) || waitpid(m_server, nullptr, WNOHANG) == m_server; },
                      std::chrono::seconds(120));
    ASSERT_TRUE(up && fs::exists(portFile)) << "updserver did not start:\n"
                                            << readFile(m_sandbox.path() / "server.err");
    m_serverPort = static_cast<uint16_t>(std::stoi(readFile(portFile)));
}

void E2eTest::killServer(int signal)
{
    if (m_server <= 0)
        return;
    kill(m_server, signal);
    int code = waitExit(m_server, std::chrono::seconds(20));
    m_server = -1;
    // A clean stop also means no sanitizer report on the way out.
    if (signal == SIGTERM && code != 0)
        ADD_FAILURE() << "updserver did not stop cleanly on SIGTERM (exit " << code << "):\n"
                      << readFile(m_sandbox.path() / "server.err");
}

pid_t E2eTest::spawnClient(const fs::path& cwd, const std::vector<std::string>& args,
                           const std::string& prefix)
{
    std::vector<std::string> argv = {kTools + "/updclient", "--server", serverAddress()};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = spawn(argv, fs::absolute(cwd), m_sandbox.path() / (prefix + ".out"),
                      m_sandbox.path() / (prefix + ".err"));
    m_children.push_back(pid);
    return pid;
}

ClientRun E2eTest::finishClient(pid_t pid, const std::string& prefix, std::chrono::seconds deadline)
{
    ClientRun run;
    run.exitCode = waitExit(pid, deadline);
    m_children.erase(std::remove(m_children.begin(), m_children.end(), pid), m_children.end());
    run.out = readFile(m_sandbox.path() / (prefix + ".out"));
    run.err = readFile(m_sandbox.path() / (prefix + ".err"));
    return run;
}

ClientRun E2eTest::runClient(const fs::path& cwd, const std::vector<std::string>& args,
                             std::chrono::seconds deadline)
{
    static int counter = 0;
    std::string prefix = "client" + std::to_string(++counter);
    return finishClient(spawnClient(cwd, args, prefix), prefix, deadline);
}

ClientRun E2eTest::update(const fs::path& install, const std::vector<std::string>& extra,
                          std::chrono::seconds deadline)
{
    std::string name = install.filename().string();
    std::vector<std::string> args = {
        "--dir", fs::absolute(install).string(), "--list", name + ".lst", "--cache", name + ".cache"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("update");
    return runClient(m_sandbox.path(), args, deadline);
}

Tree E2eTest::readTree(const fs::path& root, bool withTimes)
{
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    {
        std::string rel = fs::relative(it->path(), root).generic_string();
        std::transform(rel.begin(), rel.end(), rel.begin(), [](unsigned char c) { return std::tolower(c); });
        if (it->is_directory())
        {
            tree[rel + "/"] = {};
            continue;
        }
        TreeFile f;
        f.bytes = readFile(it->path());
        if (withTimes)
        {
            struct stat st;
            stat(it->path().c_str(), &st);
            f.time = st.st_mtime;
        }
        tree[rel] = f;
    }
    return tree;
}

void E2eTest::writeFile(const fs::path& path, const std::string& bytes)
{
    if (path.has_parent_path())
        fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string E2eTest::readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string E2eTest::pseudoRandom(size_t size, uint32_t seed)
{
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : s)
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}
