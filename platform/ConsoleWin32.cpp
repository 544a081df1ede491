#include "platform/Console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace platform
{

bool consoleIsTerminal(std::FILE* stream)
{
    int fd = stream ? _fileno(stream) : -1;
    if (fd < 0 || !_isatty(fd))
        return false;
    // The NUL device also counts as a character device; only a console
    // understands colour sequences.
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    if (!GetConsoleMode(h, &mode))
        return false;
    SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    return true;
}

std::FILE* consoleMoveStdoutToStderr()
{
    std::fflush(stdout);
    int resultFd = _dup(_fileno(stdout));
    std::FILE* results = resultFd >= 0 ? _fdopen(resultFd, "w") : nullptr;
    if (!results)
    {
        if (resultFd >= 0)
            _close(resultFd);
        return nullptr;
    }
    if (_dup2(_fileno(stderr), _fileno(stdout)) < 0)
    {
        std::fclose(results);
        return nullptr;
    }
    return results;
}

} // namespace platform
