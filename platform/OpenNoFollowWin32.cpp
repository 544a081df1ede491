#include "platform/OpenNoFollow.h"
#include "platform/WideNameWin32.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>

namespace platform
{

namespace
{
FILE* openOnce(const char* path, const char* mode)
{
    const bool update = std::strchr(mode, '+') != nullptr;
    DWORD access = update ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    DWORD disposition = mode[0] == 'r' ? OPEN_EXISTING : OPEN_ALWAYS;
    // The reparse point itself is opened, not its target, and then refused.
    HANDLE h = CreateFileW(widenName(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        DWORD e = GetLastError();
        errno = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(h, &info) || GetFileType(h) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
    {
        errno = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ELOOP : EINVAL;
        CloseHandle(h);
        return nullptr;
    }
    if (mode[0] == 'w' && !SetEndOfFile(h))
    {
        errno = EACCES;
        CloseHandle(h);
        return nullptr;
    }
    int flags = _O_BINARY | (update ? _O_RDWR : _O_WRONLY) | (mode[0] == 'a' ? _O_APPEND : 0);
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd < 0)
    {
        CloseHandle(h);
        return nullptr;
    }
    FILE* f = _fdopen(fd, mode);
    if (f == nullptr)
        _close(fd);
    return f;
}
} // namespace

FILE* openFileNoFollow(const char* path, const char* mode, AtLink atLink)
{
    FILE* f = openOnce(path, mode);
    // DeleteFileW removes a file link itself, never what it points to.
    if (f == nullptr && errno == ELOOP && atLink == AtLink::Replace && DeleteFileW(widenName(path).c_str()))
        f = openOnce(path, mode);
    return f;
}

} // namespace platform
