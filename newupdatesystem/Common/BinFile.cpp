#include "newupdatesystem/Common/BinFile.h"

#include <cerrno>
#include <cstdarg>
#include <limits>

#include "newupdatesystem/Common/Excep.h"
#include "platform/Files.h"

CBinFile::CBinFile(const char* path, unsigned mode)
{
    if (mode == MODE_CREATE)
    {
        create(path);
    }
    else
    {
        open(path);
    }
}

void CBinFile::open(const char* path)
{
    if (m_stream != nullptr)
    {
        safeClose();
    }
    m_stream = platform::openFile(path, "rb");
    if (m_stream == nullptr)
    {
        throw CSystemExcep(FILE_OPEN, EK_ERRNO, errno, path, EXCEP_HERE());
    }
}

void CBinFile::create(const char* path)
{
    if (m_stream != nullptr)
    {
        safeClose();
    }
    m_stream = platform::openFile(path, "wb");
    if (m_stream == nullptr)
    {
        throw CSystemExcep(FILE_CREATE, EK_ERRNO, errno, path, EXCEP_HERE());
    }
}

void CBinFile::read(void* buffer, uint32_t n)
{
    if (n == 0)
    {
        return;
    }
    errno = 0;
    if (m_stream == nullptr)
    {
        errno = EBADF;
    }
    else if (fread(buffer, n, 1, m_stream) == 1)
    {
        return;
    }
    // A short file leaves errno 0; the code alone tells the story then.
    throw CSystemExcep(FILE_READ, EK_ERRNO, errno, "", EXCEP_HERE());
}

void CBinFile::write(const void* buffer, uint32_t n)
{
    if (n == 0)
    {
        return;
    }
    errno = 0;
    if (m_stream == nullptr)
    {
        errno = EBADF;
    }
    else if (fwrite(buffer, n, 1, m_stream) == 1)
    {
        return;
    }
    throw CSystemExcep(FILE_WRITE, EK_ERRNO, errno, "", EXCEP_HERE());
}

void CBinFile::safeClose()
{
    if (m_stream == nullptr)
    {
        return;
    }
    FILE* f = m_stream;
    m_stream = nullptr;
    if (fclose(f) != 0)
    {
        throw CSystemExcep(FILE_CLOSE, EK_ERRNO, errno, "", EXCEP_HERE());
    }
}

void CBinFile::close()
{
    if (m_stream != nullptr)
    {
        fclose(m_stream);
        m_stream = nullptr;
    }
}

int32_t CBinFile::length()
{
    if (m_stream == nullptr)
    {
        return -1;
    }
    // Buffered output counts too, as it will once flushed.
    const int64_t size = platform::streamLength(m_stream);
    if (size < 0 || size > std::numeric_limits<int32_t>::max())
    {
        return -1;
    }
    return int32_t(size);
}

int64_t CBinFile::length64()
{
    if (m_stream == nullptr)
    {
        return -1;
    }
    const int64_t size = platform::streamLength(m_stream);
    return size < 0 ? -1 : size;
}

int CBinFile::print(const char* format, ...)
{
    if (m_stream == nullptr)
    {
        return -1;
    }
    va_list args;
    va_start(args, format);
    int n = vfprintf(m_stream, format, args);
    va_end(args);
    return n;
}

void CBinFile::remove(const char* path, bool ignoreMissing)
{
    if (platform::removeFile(path) != 0 && !(ignoreMissing && errno == ENOENT))
    {
        throw CSystemExcep(FILE_DELETE, EK_ERRNO, errno, path, EXCEP_HERE());
    }
}

// The file's times become exactly t. Converting through local calendar time
// and back with today's zone rules would shift files stamped in the other half
// of the year by the daylight-saving difference, and every later scan would
// see them as changed.
void CBinFile::setTime(const char* path, int64_t t)
{
    if (platform::setFileTime(path, t) != 0)
    {
        int err = errno;
        int code = (err == ENOENT || err == ENOTDIR) ? FILE_OPEN : FILE_SET_TIME;
        throw CSystemExcep(code, EK_LAST_ERROR, err, path, EXCEP_HERE());
    }
}

void CBinFile::clearAttributes(const char* path, bool ignoreErrors)
{
    if (platform::clearWriteProtection(path) != 0 && !ignoreErrors)
    {
        throw CSystemExcep(FILE_SET_ATTR, EK_LAST_ERROR, errno, path, EXCEP_HERE());
    }
}

void CBinFile::createDir(const char* path, bool ignoreExisting)
{
    if (platform::createDirectory(path) != 0 && !(ignoreExisting && errno == EEXIST))
    {
        throw CSystemExcep(DIR_CREATE, EK_ERRNO, errno, path, EXCEP_HERE());
    }
}

void CBinFile::removeDir(const char* path, bool ignoreMissing)
{
    if (platform::removeDirectory(path) != 0 && !(ignoreMissing && errno == ENOENT))
    {
        throw CSystemExcep(DIR_DELETE, EK_ERRNO, errno, path, EXCEP_HERE());
    }
}
