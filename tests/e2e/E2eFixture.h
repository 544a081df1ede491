// End-to-end fixture: updserver and updclient as real processes on loopback,
// in a private temporary folder. Every child process is killed and reaped in
// the teardown, whatever the test did.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/Sandbox.h"

struct ClientRun
{
    int exitCode = -1; // the status number, 0 for "done"; -1 killed at the deadline
    std::string out;   // stdout: echo lines, the self-update script
    std::string err;   // stderr: progress and log lines
};

// One file of a tree: its bytes and its modification time in seconds.
struct TreeFile
{
    std::string bytes;
    int64_t time = 0;
    bool operator==(const TreeFile&) const = default;
};
// Relative lower-case path ("a/b.txt"; folders end in "/") to contents.
using Tree = std::map<std::string, TreeFile>;

class E2eTest : public SandboxTest
{
protected:
    void TearDown() override;

    // Starts updserver on CONTENT_DIR with the extra options and port 0;
    // returns once it listens (fails the test otherwise).
    void startServer(const std::filesystem::path& content, const std::vector<std::string>& extra = {});
    void killServer(int signal);
    uint16_t port() const { return m_serverPort; }
    std::string serverAddress() const { return "127.0.0.1:" + std::to_string(m_serverPort); }

    // Runs updclient in folder cwd with --server and the arguments.
    ClientRun runClient(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                        std::chrono::seconds deadline = std::chrono::seconds(120));
    // Starts updclient without waiting; finish it with finishClient.
    pid_t spawnClient(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                      const std::string& outputPrefix);
    ClientRun finishClient(pid_t pid, const std::string& outputPrefix, std::chrono::seconds deadline);

    // The update run for an installation folder: list and cache beside it.
    ClientRun update(const std::filesystem::path& install, const std::vector<std::string>& extra = {},
                     std::chrono::seconds deadline = std::chrono::seconds(120));

    static Tree readTree(const std::filesystem::path& root, bool withTimes = true);
    static void writeFile(const std::filesystem::path& path, const std::string& bytes);
    static std::string readFile(const std::filesystem::path& path);
    static std::string pseudoRandom(size_t size, uint32_t seed);

    pid_t m_server = -1;
    std::vector<pid_t> m_children;
    uint16_t m_serverPort = 0;
    int m_serverRuns = 0;
};
