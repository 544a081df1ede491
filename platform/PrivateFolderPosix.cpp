#include "platform/PrivateFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace platform
{

bool ensurePrivateFolder(const char* path, std::string& why)
{
    std::error_code ec;
    std::filesystem::path folder(path);
    if (folder.has_parent_path())
        std::filesystem::create_directories(folder.parent_path(), ec);
    if (::mkdir(path, 0700) != 0 && errno != EEXIST)
    {
        why = std::string("cannot create it: ") + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::lstat(path, &st) != 0)
    {
        why = std::string("cannot examine it: ") + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode))
        why = "it is a symbolic link";
    else if (!S_ISDIR(st.st_mode))
        why = "it is not a folder";
    else if (st.st_uid != ::geteuid())
        why = "it belongs to user " + std::to_string(st.st_uid) + ", not to this one";
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        why = "others may write to it";
    return why.empty();
}

FILE* createExclusiveFile(const char* path)
{
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    FILE* f = ::fdopen(fd, "wb");
    if (f == nullptr)
    {
        int err = errno;
        ::close(fd);
        ::unlink(path);
        errno = err;
    }
    return f;
}

} // namespace platform
