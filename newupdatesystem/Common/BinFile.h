// CBinFile: one binary file stream; every failure becomes a CSystemExcep with
// the code, errno (or the system's last error), the path and the operation.
// Paths may use `\` or `/` and find existing files without regard to case.
#pragma once

#include <cstdint>
#include <cstdio>

#include "newupdatesystem/Common/Log.h"      // UPD_PRINTF
#include "newupdatesystem/Common/PathUtil.h" // the path helpers live beside CBinFile

class CBinFile
{
public:
    enum Mode : unsigned
    {
        MODE_OPEN = 0,   // read an existing file ("rb")
        MODE_CREATE = 1, // create or truncate for writing ("wb")
    };

    CBinFile() = default;
    // Mode 1 creates, any other value opens.
    CBinFile(const char* path, unsigned mode);
    // Closes without reporting errors; call safeClose to learn of a failed flush.
    ~CBinFile() { close(); }
    CBinFile(const CBinFile&) = delete;
    CBinFile& operator=(const CBinFile&) = delete;

    // Both close an open stream first (safeClose). FILE_OPEN / FILE_CREATE.
    void open(const char* path);
    void create(const char* path);
    // Exactly n bytes or FILE_READ / FILE_WRITE; n = 0 does nothing. The file
    // stays open after a failure.
    void read(void* buffer, uint32_t n);
    void write(const void* buffer, uint32_t n);
    // Closes and forgets the stream; FILE_CLOSE (after forgetting) when the
    // close reports an error.
    void safeClose();
    // Closes and forgets the stream, ignoring errors.
    void close();
    // Length of the open file; -1 when closed or when it does not fit 31 bits.
    int32_t length();
    // Length of the open file, whatever its size; -1 when closed.
    int64_t length64();
    // Formatted output; the character count is returned unchecked.
    int print(const char* format, ...) UPD_PRINTF(2, 3);

    bool isOpen() const { return m_stream != nullptr; }

    // FILE_DELETE; a missing file is no error with ignoreMissing.
    static void remove(const char* path, bool ignoreMissing);
    // Sets last-write and last-access time to exactly t (seconds since 1970 UTC).
    // FILE_OPEN when the file is missing, FILE_SET_TIME otherwise.
    static void setTime(const char* path, int64_t t);
    // Removes write protection; FILE_SET_ATTR unless ignoreErrors.
    static void clearAttributes(const char* path, bool ignoreErrors);
    // One folder, not its parents; DIR_CREATE; an existing folder is no error
    // with ignoreExisting.
    static void createDir(const char* path, bool ignoreExisting);
    // One empty folder; DIR_DELETE; a missing folder is no error with ignoreMissing.
    static void removeDir(const char* path, bool ignoreMissing);

private:
    FILE* m_stream = nullptr;
};
