#include "platform/Files.h"

#include <cerrno>
#include <cstring>
#include <strings.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform
{

namespace
{

bool existsNoFollow(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The entry of folder that equals name without regard to ASCII case, the first
// in byte order when there are several; empty when there is none.
std::string findCaseless(const std::string& folder, const std::string& name)
{
    std::string best;
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr)
    {
        return best;
    }
    while (const dirent* d = readdir(dir))
    {
        if (strcasecmp(d->d_name, name.c_str()) == 0 && (best.empty() || best.compare(d->d_name) > 0))
        {
            best = d->d_name;
        }
    }
    closedir(dir);
    return best;
}

} // namespace

std::string resolvePath(const char* path)
{
    std::string given(path);
    for (char& c : given)
    {
        if (c == '\\')
        {
            c = '/';
        }
    }
    if (given.empty() || existsNoFollow(given))
    {
        return given;
    }
    int savedErrno = errno;

    // Most often only the last component is new or differs in case (a file
    // about to be written): with its folder there as given, only that one is
    // looked up, not every folder on the way.
    size_t slash = given.rfind('/');
    if (slash != std::string::npos && slash > 0 && slash + 1 < given.size() &&
        given.find("//") == std::string::npos && existsNoFollow(given.substr(0, slash)))
    {
        std::string match = findCaseless(given.substr(0, slash), given.substr(slash + 1));
        errno = savedErrno;
        return match.empty() ? given : given.substr(0, slash + 1) + match;
    }

    std::string prefix = given[0] == '/' ? "/" : "";
    size_t pos = 0;
    while (pos < given.size())
    {
        size_t end = given.find('/', pos);
        if (end == std::string::npos)
        {
            end = given.size();
        }
        if (end == pos)
        {
            ++pos; // doubled or leading separator
            continue;
        }
        std::string name = given.substr(pos, end - pos);
        std::string candidate = prefix;
        if (!candidate.empty() && candidate.back() != '/')
        {
            candidate += '/';
        }
        if (existsNoFollow(candidate + name) || name == "." || name == "..")
        {
            prefix = candidate + name;
        }
        else
        {
            std::string match = findCaseless(prefix, name);
            if (match.empty())
            {
                // Nothing on disk: the rest keeps the name as given.
                prefix = candidate + given.substr(pos);
                errno = savedErrno;
                return prefix;
            }
            prefix = candidate + match;
        }
        pos = end + 1;
    }
    if (given.back() == '/' && prefix.back() != '/')
    {
        prefix += '/';
    }
    errno = savedErrno;
    return prefix;
}

FILE* openFile(const char* path, const char* mode)
{
    FILE* f = fopen(resolvePath(path).c_str(), mode);
    struct stat st;
    if (f != nullptr && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode))
    {
        // A folder opens for reading here but not on the system the update
        // system was made for; fail where it fails.
        fclose(f);
        errno = EISDIR;
        return nullptr;
    }
    return f;
}

int removeFile(const char* path)
{
    return unlink(resolvePath(path).c_str());
}

int removeDirectory(const char* path)
{
    return rmdir(resolvePath(path).c_str());
}

int createDirectory(const char* path)
{
    return mkdir(resolvePath(path).c_str(), 0777);
}

int setFileTime(const char* path, int64_t t)
{
    struct timespec times[2];
    times[0].tv_sec = time_t(t);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return utimensat(AT_FDCWD, resolvePath(path).c_str(), times, 0);
}

int64_t getFileTime(const char* path)
{
    struct stat st;
    if (stat(resolvePath(path).c_str(), &st) != 0)
    {
        return -1;
    }
    return int64_t(st.st_mtim.tv_sec);
}

int clearWriteProtection(const char* path)
{
    std::string resolved = resolvePath(path);
    struct stat st;
    if (lstat(resolved.c_str(), &st) != 0)
    {
        return -1;
    }
    if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR))
    {
        return 0;
    }
    return chmod(resolved.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

FILE* createNewFile(const char* path)
{
    int fd = open(resolvePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
    {
        return nullptr;
    }
    FILE* f = fdopen(fd, "wb");
    if (f == nullptr)
    {
        int err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
}

int moveIntoPlace(const char* from, const char* to)
{
    // A name that exists only in another letter case is the file meant: it is
    // the one replaced, so that no second spelling is left beside it.
    std::string source = resolvePath(from);
    std::string target = resolvePath(to);
    // The new version keeps the old one's permissions (an executable stays
    // executable), made writable.
    struct stat st;
    if (lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    {
        chmod(source.c_str(), (st.st_mode & 07777) | S_IWUSR);
    }
    return rename(source.c_str(), target.c_str());
}

bool freeDiskSpace(const char* folder, uint64_t& bytes)
{
    struct statvfs vs;
    if (statvfs(resolvePath(*folder ? folder : ".").c_str(), &vs) != 0)
    {
        return false;
    }
    bytes = uint64_t(vs.f_bavail) * uint64_t(vs.f_frsize);
    return true;
}

int copyFileMode(const char* model, const char* path)
{
    struct stat st;
    if (lstat(resolvePath(model).c_str(), &st) != 0)
    {
        return -1;
    }
    std::string target = resolvePath(path);
    struct stat own;
    if (!S_ISREG(st.st_mode) || lstat(target.c_str(), &own) != 0 || !S_ISREG(own.st_mode))
    {
        errno = EINVAL;
        return -1;
    }
    return chmod(target.c_str(), (st.st_mode & 0777) | S_IWUSR);
}

bool isFolder(const char* path)
{
    struct stat st;
    return stat(resolvePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isSymbolicLink(const char* path)
{
    struct stat st;
    return lstat(resolvePath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool fileStatus(const char* path, FileStatus& out, bool noFollow)
{
    out = FileStatus{};
    struct stat st;
    if ((noFollow ? lstat(path, &st) : stat(path, &st)) != 0)
    {
        return false;
    }
    out.link = S_ISLNK(st.st_mode);
    out.kind = S_ISREG(st.st_mode)   ? FileKind::Regular
               : S_ISDIR(st.st_mode) ? FileKind::Folder
                                     : FileKind::Other;
    out.size = S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
    out.time = int64_t(st.st_mtim.tv_sec);
    out.timeNanos = int64_t(st.st_mtim.tv_nsec);
    out.links = unsigned(st.st_nlink);
    return true;
}

int64_t streamLength(FILE* stream)
{
    fflush(stream);
    struct stat st;
    if (fstat(fileno(stream), &st) != 0)
    {
        return -1;
    }
    return int64_t(st.st_size);
}

int seekStream(FILE* stream, uint64_t offset)
{
    if (offset > uint64_t(INT64_MAX))
    {
        errno = EINVAL;
        return -1;
    }
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET);
}

std::string currentFolder()
{
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

namespace
{

bool writeAll(int fd, std::string_view text)
{
    size_t done = 0;
    while (done < text.size())
    {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return false;
        }
        done += size_t(n);
    }
    return true;
}

} // namespace

ReplaceResult replaceFile(const char* path, std::string_view content, bool createIfMissing, int& err)
{
    const int create = createIfMissing ? O_CREAT : 0;
    const int probe = open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | create, 0644);
    if (probe < 0)
    {
        err = errno;
        return ReplaceResult::NotWritable;
    }
    close(probe);

    struct stat st;
    const bool regular = lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
    std::string tmpName = std::string(path) + ".XXXXXX";
    int fd = regular ? mkostemp(tmpName.data(), O_CLOEXEC) : -1;
    const bool inPlace = fd < 0;
    if (inPlace)
    {
        fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0)
        {
            err = errno;
            return ReplaceResult::NotWritable;
        }
    }
    else
    {
        // The replacement keeps the old file's owner (when we may) and mode.
        if (fchown(fd, st.st_uid, st.st_gid) != 0)
        {
            // Only a privileged process may give files away; ours is fine then.
        }
        fchmod(fd, st.st_mode & 07777);
    }

    bool ok = writeAll(fd, content) && (inPlace || fsync(fd) == 0);
    err = ok ? 0 : errno;
    if (close(fd) != 0 && ok)
    {
        ok = false;
        err = errno;
    }
    if (ok && !inPlace && rename(tmpName.c_str(), path) != 0)
    {
        ok = false;
        err = errno;
    }
    if (!ok)
    {
        if (!inPlace)
        {
            unlink(tmpName.c_str());
        }
        return ReplaceResult::Failed;
    }
    return ReplaceResult::Replaced;
}

struct DirReader::State
{
    DIR* dir = nullptr;
};

bool DirReader::open(const char* folder)
{
    close();
    const char* name = *folder ? folder : ".";
    DIR* dir = opendir(name);
    if (dir == nullptr && (errno == ENOENT || errno == ENOTDIR || strchr(name, '\\') != nullptr))
    {
        dir = opendir(resolvePath(name).c_str());
    }
    if (dir != nullptr)
    {
        m_state = new State{dir};
    }
    return dir != nullptr;
}

bool DirReader::next(DirEntry& entry)
{
    if (m_state == nullptr)
    {
        errno = EBADF;
        return false;
    }
    DIR* dir = m_state->dir;
    int fd = dirfd(dir);
    for (;;)
    {
        errno = 0;
        const dirent* d = readdir(dir);
        if (d == nullptr)
        {
            return false;
        }
        const char* n = d->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
        {
            continue;
        }
        struct stat st;
        if (fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0)
        {
            continue; // removed since readdir
        }
        if (S_ISLNK(st.st_mode))
        {
            if (fstatat(fd, n, &st, 0) != 0 || S_ISDIR(st.st_mode))
            {
                continue;
            }
        }
        if (S_ISDIR(st.st_mode))
        {
            entry.folder = true;
            entry.size = 0;
        }
        else if (S_ISREG(st.st_mode))
        {
            entry.folder = false;
            entry.size = uint64_t(st.st_size);
        }
        else
        {
            continue;
        }
        entry.name = n;
        entry.time = int64_t(st.st_mtim.tv_sec);
        errno = 0;
        return true;
    }
}

void DirReader::close()
{
    if (m_state != nullptr)
    {
        closedir(m_state->dir);
        delete m_state;
        m_state = nullptr;
    }
}

} // namespace platform
