#include "platform/SingleInstance.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{

namespace
{

bool safeName(const std::string& name)
{
    if (name.empty() || name.size() > 200)
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
              c == '-'))
            return false;
    return true;
}

std::string lockPath(const std::string& name, const std::string& folder)
{
    if (!folder.empty())
        return folder + "/" + name + ".lock";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (runtime && runtime[0] == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == getuid())
        return std::string(runtime) + "/" + name + ".lock";
    return "/tmp/" + name + "-" + std::to_string(getuid()) + ".lock";
}

} // namespace

SingleInstanceGuard::~SingleInstanceGuard()
{
    release();
}

GuardResult SingleInstanceGuard::create(const std::string& name, const std::string& folder)
{
    release();
    if (!safeName(name))
        return GuardResult::Failed;
    // Close-on-exec: the game client we start must not keep the guard alive
    // after the launcher has ended. O_NOFOLLOW: another user's symbolic link
    // in /tmp must not make us open their file.
    const int fd = open(lockPath(name, folder).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return GuardResult::Failed;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        const int err = errno;
        if (err == EINTR)
            continue;
        close(fd);
        return err == EWOULDBLOCK ? GuardResult::AlreadyExists : GuardResult::Failed;
    }
    m_handle = fd;
    return GuardResult::Created;
}

void SingleInstanceGuard::release()
{
    if (m_handle != -1)
    {
        close(static_cast<int>(m_handle));
        m_handle = -1;
    }
}

} // namespace platform
