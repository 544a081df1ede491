#include "platform/ExecutablePath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace platform
{

bool executablePath(std::string& out, size_t maxLength)
{
    std::vector<char> buffer(maxLength + 1);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), maxLength);
    if (n <= 0)
        return false;
    out.assign(buffer.data(), static_cast<size_t>(n));
    return true;
}

char executablePathSeparator()
{
    return '/';
}

bool makeExecutable(const char* path)
{
    struct stat st;
    if (::stat(path, &st) != 0)
        return false;
    return ::chmod(path, st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH) == 0;
}

} // namespace platform
