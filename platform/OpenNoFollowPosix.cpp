#include "platform/OpenNoFollow.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{

FILE* openFileNoFollow(const char* path, const char* mode, AtLink atLink)
{
    int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    if (std::strchr(mode, '+') != nullptr)
        flags |= O_RDWR;
    else
        flags |= O_WRONLY;
    if (mode[0] == 'w')
        flags |= O_CREAT | O_TRUNC;
    else if (mode[0] == 'a')
        flags |= O_CREAT | O_APPEND;
    // Non-blocking so that a pipe at the name cannot hold the open; the
    // check below refuses it then.
    int fd = open(path, flags, 0666);
    if (fd < 0 && errno == ELOOP && atLink == AtLink::Replace && unlink(path) == 0)
        fd = open(path, flags | O_EXCL, 0666);
    if (fd < 0)
    {
        // A pipe without a reader: not a file either.
        if (errno == ENXIO)
            errno = EINVAL;
        return nullptr;
    }
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        int err = S_ISREG(st.st_mode) ? errno : EINVAL;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* f = fdopen(fd, mode);
    if (f == nullptr)
    {
        int err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
}

} // namespace platform
