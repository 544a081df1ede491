#include "platform/Process.h"

#include <windows.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace platform
{

namespace
{

// Handles of the programs we started, kept until they are waited for, so a
// reused process id never makes us wait for a stranger.
std::mutex childLock;
std::map<ProcessId, HANDLE> children;

// One argument as the C runtime's command-line parser splits it back:
// quotes around it, backslashes doubled only where they precede a quote.
void appendQuoted(std::string& line, const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
    {
        line += arg;
        return;
    }
    line += '"';
    size_t backslashes = 0;
    for (char c : arg)
    {
        if (c == '\\')
        {
            ++backslashes;
            continue;
        }
        if (c == '"')
            line.append(backslashes * 2 + 1, '\\');
        else
            line.append(backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

bool start(const std::string& program, std::string commandLine, DWORD flags, ProcessId& pid)
{
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &si, &pi))
    {
        DWORD err = GetLastError();
        errno = err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? ENOENT
                : err == ERROR_ACCESS_DENIED                               ? EACCES
                                                                           : EINVAL;
        return false;
    }
    CloseHandle(pi.hThread);
    pid = ProcessId(pi.dwProcessId);
    std::lock_guard hold(childLock);
    children[pid] = pi.hProcess;
    return true;
}

HANDLE takeHandle(ProcessId pid, bool remove)
{
    std::lock_guard hold(childLock);
    auto it = children.find(pid);
    if (it == children.end())
        return nullptr;
    HANDLE h = it->second;
    if (remove)
        children.erase(it);
    return h;
}

} // namespace

ProcessId currentProcessId()
{
    return ProcessId(GetCurrentProcessId());
}

void exitProcessNow(int code)
{
    TerminateProcess(GetCurrentProcess(), UINT(code));
    for (;;)
    {
        // TerminateProcess on ourselves does not return.
    }
}

bool spawnProcess(const std::string& program, const std::vector<std::string>& args, bool detached,
                  ProcessId& pid)
{
    std::string line;
    for (const std::string& a : args)
    {
        if (!line.empty())
            line += ' ';
        appendQuoted(line, a);
    }
    return start(program, line, detached ? CREATE_NEW_PROCESS_GROUP : 0, pid);
}

bool spawnCommandLine(const std::string& program, const std::string& commandLine, ProcessId& pid)
{
    return start(program, commandLine, CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE, pid);
}

bool spawnScript(const std::string& script, ProcessId& pid)
{
    // cmd strips the outer pair of quotes and keeps the inner pair around the name.
    std::string line = "cmd.exe /D /C \"\"" + script + "\"\"";
    return start(scriptInterpreter(), line, CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW, pid);
}

WaitResult waitProcess(ProcessId pid, int timeoutMs, int& exitCode)
{
    HANDLE h = takeHandle(pid, false);
    if (!h)
        return WaitResult::Failed;
    DWORD r = WaitForSingleObject(h, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
    if (r == WAIT_TIMEOUT)
        return WaitResult::TimedOut;
    if (r != WAIT_OBJECT_0)
        return WaitResult::Failed;
    DWORD code = 0;
    GetExitCodeProcess(h, &code);
    exitCode = int(code);
    takeHandle(pid, true);
    CloseHandle(h);
    return WaitResult::Exited;
}

bool stopProcess(ProcessId pid)
{
    HANDLE h = takeHandle(pid, false);
    return h && TerminateProcess(h, 1) != 0;
}

bool isExecutableFile(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

char pathListSeparator()
{
    return ';';
}

const char* scriptInterpreter()
{
    static std::string path = []
    {
        char folder[MAX_PATH];
        UINT n = GetSystemDirectoryA(folder, MAX_PATH);
        return n > 0 && n < MAX_PATH ? std::string(folder, n) + "\\cmd.exe" : std::string("cmd.exe");
    }();
    return path.c_str();
}

} // namespace platform
