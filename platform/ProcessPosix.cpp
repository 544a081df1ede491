#include "platform/Process.h"

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform
{

ProcessId currentProcessId()
{
    return ProcessId(getpid());
}

void exitProcessNow(int code)
{
    _exit(code);
}

bool spawnProcess(const std::string& program, const std::vector<std::string>& args, bool detached,
                  ProcessId& pid)
{
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (std::string& a : copies)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (detached)
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t child = -1;
    int rc = posix_spawn(&child, program.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
    {
        errno = rc;
        return false;
    }
    pid = ProcessId(child);
    return true;
}

bool spawnCommandLine(const std::string& program, const std::string& commandLine, ProcessId& pid)
{
    std::vector<std::string> args;
    size_t start = commandLine.find_first_not_of(" \t");
    while (start != std::string::npos)
    {
        size_t end = commandLine.find_first_of(" \t", start);
        args.push_back(commandLine.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? end : commandLine.find_first_not_of(" \t", end);
    }
    return spawnProcess(program, args, true, pid);
}

bool spawnScript(const std::string& script, ProcessId& pid)
{
    // Our process id lets the script wait until this program has ended.
    return spawnProcess(scriptInterpreter(),
                        {scriptInterpreter(), script, std::to_string(currentProcessId())}, true, pid);
}

WaitResult waitProcess(ProcessId pid, int timeoutMs, int& exitCode)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;)
    {
        int status = 0;
        pid_t r = waitpid(pid_t(pid), &status, timeoutMs < 0 ? 0 : WNOHANG);
        if (r == pid_t(pid))
        {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return WaitResult::Exited;
        }
        if (r < 0 && errno != EINTR)
            return WaitResult::Failed;
        if (timeoutMs >= 0 && Clock::now() >= deadline)
            return WaitResult::TimedOut;
        // No portable way to wait for a child with a deadline; poll finely.
        if (r == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool stopProcess(ProcessId pid)
{
    return kill(pid_t(pid), SIGTERM) == 0;
}

bool isExecutableFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

char pathListSeparator()
{
    return ':';
}

const char* scriptInterpreter()
{
    return "/bin/sh";
}

} // namespace platform
