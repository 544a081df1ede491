#include "platform/Console.h"

#include <unistd.h>

namespace platform
{

bool consoleIsTerminal(std::FILE* stream)
{
    int fd = stream ? fileno(stream) : -1;
    return fd >= 0 && isatty(fd) == 1;
}

std::FILE* consoleMoveStdoutToStderr()
{
    std::fflush(stdout);
    int resultFd = dup(STDOUT_FILENO);
    std::FILE* results = resultFd >= 0 ? fdopen(resultFd, "w") : nullptr;
    if (!results)
    {
        if (resultFd >= 0)
            close(resultFd);
        return nullptr;
    }
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
    {
        std::fclose(results);
        return nullptr;
    }
    return results;
}

} // namespace platform
