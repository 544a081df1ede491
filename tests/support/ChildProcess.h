// Runs a piece of a test in a forked child process and returns its exit code,
// for behaviour that only shows between processes (locks, process-wide state).
// The child must not use GoogleTest assertions: it reports through its code.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

// The child's exit code, or -1 when it could not run or did not exit normally.
inline int runInChild(const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
    {
        int code = 99;
        try
        {
            code = body();
        }
        catch (...)
        {
        }
        std::_Exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
    {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
