// Starting other programs and waiting for them: the game, the self-update
// script, the tools in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform
{

using ProcessId = int64_t;

ProcessId currentProcessId();

// Ends this process at once with the exit code: no destructors, no flushing
// of streams, no exit handlers.
[[noreturn]] void exitProcessNow(int code);

// Starts program with args (args[0] is the name the program sees) and returns
// at once. A detached program runs in a session of its own, so it outlives
// us and a signal meant for our terminal does not reach it. False with errno
// set when it cannot be started.
bool spawnProcess(const std::string& program, const std::vector<std::string>& args, bool detached,
                  ProcessId& pid);

// Starts program detached with a command line that reaches it as it stands:
// Windows passes the text unchanged (the program's runtime splits it) and
// gives the program the system's default error mode instead of ours; POSIX
// splits it at blanks and tabs, without quoting, into the arguments.
bool spawnCommandLine(const std::string& program, const std::string& commandLine, ProcessId& pid);

// Runs a script file with the system's command interpreter, detached. A shell
// script gets our process id as its first argument, to wait until we have ended.
bool spawnScript(const std::string& script, ProcessId& pid);

enum class WaitResult
{
    Exited,
    TimedOut,
    Failed, // not our child, or already waited for
};
// Waits at most timeoutMs (negative: without limit) for a started program
// to end; its exit code goes to exitCode (128 + signal number when a signal
// ended it).
WaitResult waitProcess(ProcessId pid, int timeoutMs, int& exitCode);

// Asks a started program to end (SIGTERM; on Windows it is terminated).
bool stopProcess(ProcessId pid);

// A regular file the current user may run.
bool isExecutableFile(const std::string& path);

// The separator between the folders of the PATH variable.
char pathListSeparator();

// The full path of the program that runs scripts for spawnScript.
const char* scriptInterpreter();

} // namespace platform
