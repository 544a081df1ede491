#include "platform/Files.h"
#include "platform/WideNameWin32.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <io.h>

namespace platform
{

namespace
{

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kEpochTicks = 116444736000000000; // 1601-01-01 to 1970-01-01

std::string narrow(const wchar_t* text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? size_t(n) : 1, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(n > 0 ? size_t(n - 1) : 0);
    return out;
}

// The last system error as the errno the Files contract promises.
int storeErrno()
{
    switch (GetLastError())
    {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        errno = EEXIST;
        break;
    case ERROR_DIR_NOT_EMPTY:
        errno = ENOTEMPTY;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_DIRECTORY:
        errno = ENOTDIR;
        break;
    default:
        errno = EIO;
        break;
    }
    return errno;
}

int64_t unixTime(const FILETIME& ft)
{
    int64_t ticks = int64_t((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) - kEpochTicks;
    // Whole seconds, rounded down also before 1970.
    return ticks >= 0 ? ticks / kTicksPerSecond : -((-ticks + kTicksPerSecond - 1) / kTicksPerSecond);
}

bool attributes(const char* path, WIN32_FILE_ATTRIBUTE_DATA& data)
{
    if (GetFileAttributesExW(widenName(path).c_str(), GetFileExInfoStandard, &data))
        return true;
    storeErrno();
    return false;
}

} // namespace

std::string resolvePath(const char* path)
{
    // The file system itself ignores case and takes both separators.
    return path;
}

FILE* openFile(const char* path, const char* mode)
{
    DWORD a = GetFileAttributesW(widenName(path).c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
    {
        errno = EISDIR;
        return nullptr;
    }
    return _wfopen(widenName(path).c_str(), widenName(mode).c_str());
}

int removeFile(const char* path)
{
    std::wstring name = widenName(path);
    // A read-only or hidden file cannot be deleted until its attributes are cleared.
    SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(name.c_str()))
        return 0;
    storeErrno();
    return -1;
}

int removeDirectory(const char* path)
{
    std::wstring name = widenName(path);
    SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_DIRECTORY);
    if (RemoveDirectoryW(name.c_str()))
        return 0;
    storeErrno();
    return -1;
}

int createDirectory(const char* path)
{
    if (CreateDirectoryW(widenName(path).c_str(), nullptr))
        return 0;
    storeErrno();
    return -1;
}

int setFileTime(const char* path, int64_t t)
{
    HANDLE h = CreateFileW(widenName(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        storeErrno();
        return -1;
    }
    uint64_t ticks = uint64_t(t * kTicksPerSecond + kEpochTicks);
    FILETIME ft{DWORD(ticks), DWORD(ticks >> 32)};
    bool ok = SetFileTime(h, nullptr, &ft, &ft) != 0;
    if (!ok)
        storeErrno();
    CloseHandle(h);
    return ok ? 0 : -1;
}

int64_t getFileTime(const char* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return attributes(path, data) ? unixTime(data.ftLastWriteTime) : -1;
}

int clearWriteProtection(const char* path)
{
    std::wstring name = widenName(path);
    DWORD a = GetFileAttributesW(name.c_str());
    if (a == INVALID_FILE_ATTRIBUTES)
    {
        storeErrno();
        return -1;
    }
    if (!(a & FILE_ATTRIBUTE_READONLY))
        return 0;
    if (SetFileAttributesW(name.c_str(), a & ~DWORD(FILE_ATTRIBUTE_READONLY)))
        return 0;
    storeErrno();
    return -1;
}

FILE* createNewFile(const char* path)
{
    // CREATE_NEW fails on any existing name, a link included.
    HANDLE h = CreateFileW(widenName(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        storeErrno();
        return nullptr;
    }
    CloseHandle(h);
    FILE* f = _wfopen(widenName(path).c_str(), L"wb");
    if (f == nullptr)
        DeleteFileW(widenName(path).c_str());
    return f;
}

int moveIntoPlace(const char* from, const char* to)
{
    // A read-only target would refuse the replace; the new file takes its place anyway.
    std::wstring target = widenName(to);
    DWORD a = GetFileAttributesW(target.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(target.c_str(), a & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (MoveFileExW(widenName(from).c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    storeErrno();
    return -1;
}

bool freeDiskSpace(const char* folder, uint64_t& bytes)
{
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(widenName(*folder ? folder : ".").c_str(), &available, nullptr, nullptr))
    {
        storeErrno();
        return false;
    }
    bytes = available.QuadPart;
    return true;
}

int copyFileMode(const char*, const char*)
{
    // Windows keeps no execute bits: a program runs by its name.
    return 0;
}

bool isFolder(const char* path)
{
    DWORD a = GetFileAttributesW(widenName(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool isSymbolicLink(const char* path)
{
    DWORD a = GetFileAttributesW(widenName(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool fileStatus(const char* path, FileStatus& out, bool noFollow)
{
    out = FileStatus{};
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!attributes(path, data))
        return false;
    out.link = noFollow && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    out.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Folder
               : (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)  ? FileKind::Other
                                                                  : FileKind::Regular;
    if (out.kind == FileKind::Regular)
        out.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    out.time = unixTime(data.ftLastWriteTime);
    int64_t ticks =
        int64_t((uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime);
    out.timeNanos = (ticks % kTicksPerSecond) * 100;
    out.links = 1;
    return true;
}

int64_t streamLength(FILE* stream)
{
    fflush(stream);
    return _filelengthi64(_fileno(stream));
}

int seekStream(FILE* stream, uint64_t offset)
{
    if (offset > uint64_t(INT64_MAX))
    {
        errno = EINVAL;
        return -1;
    }
    return _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET);
}

std::string currentFolder()
{
    DWORD n = GetCurrentDirectoryW(0, nullptr);
    if (n == 0)
        return {};
    std::wstring buffer(n, L'\0');
    n = GetCurrentDirectoryW(n, buffer.data());
    buffer.resize(n);
    return narrow(buffer.c_str());
}

ReplaceResult replaceFile(const char* path, std::string_view content, bool createIfMissing, int& err)
{
    std::wstring name = widenName(path);
    HANDLE probe = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               createIfMissing ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
    {
        err = storeErrno();
        return ReplaceResult::NotWritable;
    }
    CloseHandle(probe);

    std::wstring temp = name + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                        std::to_wstring(GetTickCount64()) + L".tmp";
    HANDLE h =
        CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        err = storeErrno();
        return ReplaceResult::Failed;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < content.size())
    {
        DWORD chunk = DWORD(std::min<size_t>(content.size() - done, 1 << 20));
        DWORD written = 0;
        ok = WriteFile(h, content.data() + done, chunk, &written, nullptr) != 0;
        done += written;
    }
    ok = ok && FlushFileBuffers(h) != 0;
    if (!ok)
        err = storeErrno();
    CloseHandle(h);
    if (ok && !MoveFileExW(temp.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    {
        ok = false;
        err = storeErrno();
    }
    if (!ok)
    {
        DeleteFileW(temp.c_str());
        return ReplaceResult::Failed;
    }
    err = 0;
    return ReplaceResult::Replaced;
}

struct DirReader::State
{
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data{};
    bool pending = false; // data holds an entry not handed out yet
    std::string name;
};

bool DirReader::open(const char* folder)
{
    close();
    std::wstring pattern = widenName(*folder ? folder : ".");
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/')
        pattern += L'\\';
    pattern += L'*';
    auto* s = new State;
    s->find = FindFirstFileW(pattern.c_str(), &s->data);
    if (s->find == INVALID_HANDLE_VALUE)
    {
        storeErrno();
        delete s;
        return false;
    }
    s->pending = true;
    m_state = s;
    return true;
}

bool DirReader::next(DirEntry& entry)
{
    if (m_state == nullptr)
    {
        errno = EBADF;
        return false;
    }
    for (;;)
    {
        if (!m_state->pending)
        {
            if (!FindNextFileW(m_state->find, &m_state->data))
            {
                errno = GetLastError() == ERROR_NO_MORE_FILES ? 0 : storeErrno();
                return false;
            }
        }
        m_state->pending = false;
        const WIN32_FIND_DATAW& d = m_state->data;
        const wchar_t* n = d.cFileName;
        if (n[0] == L'.' && (n[1] == L'\0' || (n[1] == L'.' && n[2] == L'\0')))
            continue;
        bool folder = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (folder && (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue; // a link to a folder could loop
        if (d.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
            continue;
        m_state->name = narrow(n);
        entry.name = m_state->name.c_str();
        entry.folder = folder;
        entry.size = folder ? 0 : (uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
        entry.time = unixTime(d.ftLastWriteTime);
        errno = 0;
        return true;
    }
}

void DirReader::close()
{
    if (m_state != nullptr)
    {
        FindClose(m_state->find);
        delete m_state;
        m_state = nullptr;
    }
}

} // namespace platform
