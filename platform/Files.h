// File-system services with the semantics the update system was designed on:
// `\` and `/` both separate components, and a path whose components exist only
// in another letter case still finds them (installation lists hold lower-case
// names, while the files on disk keep whatever case they were shipped with).
// New files and folders get the name exactly as given. All functions report
// failure the C way (nullptr / -1 / false) with errno set, so that callers can
// raise their own exceptions with it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace platform
{

// The on-disk form of a path: separators become `/`; every component that does
// not exist exactly is replaced by an existing entry of its folder that equals
// it without regard to ASCII case (the first in byte order when several do).
// Components after the first one that has no match at all stay as given.
// A path that exists exactly costs one stat and is returned unchanged.
std::string resolvePath(const char* path);

// fopen on the resolved path; a folder fails with EISDIR.
FILE* openFile(const char* path, const char* mode);

// unlink, rmdir and mkdir (mode 0777 before umask) on the resolved path.
int removeFile(const char* path);
int removeDirectory(const char* path);
int createDirectory(const char* path);

// Sets the last-write and last-access times to exactly t seconds since
// 1970-01-01 00:00 UTC; 0 or -1 with errno.
int setFileTime(const char* path, int64_t t);

// The last-write time of a file, seconds since 1970 UTC; -1 with errno on failure.
int64_t getFileTime(const char* path);

// Removes write protection: adds the owner write bit. A symbolic link is
// left alone (its target may lie outside the installation). 0 or -1 with errno.
int clearWriteProtection(const char* path);

// Creates a file that must not exist yet (a link at the name counts as
// existing) and opens it for binary writing; nullptr with errno.
FILE* createNewFile(const char* path);

// Puts the file from in the place of to in one step (both resolved as
// resolvePath does): whatever stands at to, a file or a symbolic link, is
// replaced, never written through. A replaced file passes its permissions on,
// with write access for the owner. 0 or -1 with errno.
int moveIntoPlace(const char* from, const char* to);

// The bytes an unprivileged writer may still put on the volume that holds
// the folder (resolved as resolvePath does); false with errno set.
bool freeDiskSpace(const char* folder, uint64_t& bytes);

// Gives the file at path the permission bits of the regular file at model
// (neither followed through a link), with write access for the owner and
// without set-id bits; where the system keeps no such bits, nothing to do.
// 0 or -1 with errno (EINVAL when model is not a regular file).
int copyFileMode(const char* model, const char* path);

// True when the path names a folder, or a link to one.
bool isFolder(const char* path);

// True when the path names a symbolic link (not what it points to).
bool isSymbolicLink(const char* path);
// What a path names, as the system reports it (the path is used exactly as
// given, not resolved). A link counts as what it points to unless noFollow.
enum class FileKind
{
    Missing,
    Regular,
    Folder,
    Other,
};
struct FileStatus
{
    FileKind kind = FileKind::Missing;
    uint64_t size = 0;
    int64_t time = 0;      // last write, seconds since 1970 UTC
    int64_t timeNanos = 0; // the fraction of the second, where the system keeps one
    unsigned links = 1;    // names of the file; a file with several is not replaced
    bool link = false;     // noFollow only: the path is a symbolic link
};
// False with errno set when nothing can be told (kind Missing for ENOENT).
bool fileStatus(const char* path, FileStatus& out, bool noFollow = false);

// The size of an open stream's file, buffered output included; -1 on failure.
int64_t streamLength(FILE* stream);
// Moves an open stream to a 64-bit offset from its start; 0, or -1 with errno.
int seekStream(FILE* stream, uint64_t offset);

// The current folder; empty when the system cannot tell.
std::string currentFolder();

enum class ReplaceResult
{
    NotWritable, // the file cannot be opened for writing (or is missing and may not be made)
    Failed,      // writing failed; errno is in err and the old content is intact when it could be kept
    Replaced,
};
// Replaces a file's content. The new text goes to a temporary file beside it
// that then takes the old one's place, so a full disk leaves the old file
// intact rather than truncated; the replacement keeps the old file's mode.
// Links and special files are written in place. The file's own permissions
// decide whether it may be written, as for an in-place write.
ReplaceResult replaceFile(const char* path, std::string_view content, bool createIfMissing, int& err);

struct DirEntry
{
    const char* name; // valid until the next call of DirReader::next or close
    bool folder;
    uint64_t size; // 0 for folders
    int64_t time;  // last-write time, seconds since 1970 UTC
};

// Enumerates one folder: one readdir and one stat per entry. "." and ".." are
// never returned; neither are entries that vanish while being read, dangling
// links, links to folders (they could loop) and anything that is neither a
// regular file nor a folder (a pipe would block a checksum read).
class DirReader
{
public:
    DirReader() = default;
    ~DirReader() { close(); }
    DirReader(const DirReader&) = delete;
    DirReader& operator=(const DirReader&) = delete;

    // Opens the folder (resolved as resolvePath does); false with errno set.
    bool open(const char* folder);
    // The next entry; false at the end (or on a read error, errno then != 0).
    bool next(DirEntry& entry);
    void close();

private:
    struct State;
    State* m_state = nullptr;
};

} // namespace platform
