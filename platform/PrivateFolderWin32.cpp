#include "platform/PrivateFolder.h"
#include "platform/WideNameWin32.h"

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <io.h>
#include <system_error>

namespace platform
{

bool ensurePrivateFolder(const char* path, std::string& why)
{
    std::error_code ec;
    std::filesystem::path folder(widenName(path));
    if (folder.has_parent_path())
        std::filesystem::create_directories(folder.parent_path(), ec);
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    {
        why = "cannot create it (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    DWORD a = GetFileAttributesW(folder.c_str());
    if (a == INVALID_FILE_ATTRIBUTES)
        why = "cannot examine it (error " + std::to_string(GetLastError()) + ")";
    else if (a & FILE_ATTRIBUTE_REPARSE_POINT)
        why = "it is a link";
    else if (!(a & FILE_ATTRIBUTE_DIRECTORY))
        why = "it is not a folder";
    return why.empty();
}

FILE* createExclusiveFile(const char* path)
{
    // CREATE_NEW fails on any existing name, a link included.
    HANDLE h = CreateFileW(widenName(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0)
    {
        CloseHandle(h);
        return nullptr;
    }
    FILE* f = _fdopen(fd, "wb");
    if (f == nullptr)
        _close(fd);
    return f;
}

} // namespace platform
