#include "newupdatesystem/Common/FileReplacer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "newupdatesystem/Common/BinFile.h"
#include "newupdatesystem/Common/Excep.h"
#include "platform/Files.h"
#include "platform/OpenNoFollow.h"

namespace
{
// Temporary names differ between the files of one process and between
// processes; a name that exists all the same is skipped.
std::atomic<uint32_t> nextNumber{std::random_device{}()};
constexpr unsigned kNameTries = 64;

std::string folderOf(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
} // namespace

CFileReplacer::CFileReplacer(const char* target) : m_targetPath(target)
{
    const std::string folder = folderOf(m_targetPath);
    int err = EEXIST;
    for (unsigned i = 0; i < kNameTries && m_stream == nullptr && err == EEXIST; ++i)
    {
        char name[24];
        std::snprintf(name, sizeof name, "~upd%08x.tmp", static_cast<unsigned>(nextNumber.fetch_add(1)));
        m_tempPath = folder + name;
        m_stream = platform::createNewFile(m_tempPath.c_str());
        err = m_stream ? 0 : errno;
    }
    if (m_stream == nullptr)
    {
        throw CSystemExcep(FILE_CREATE, EK_ERRNO, err, m_tempPath, EXCEP_HERE());
    }
}

CFileReplacer::CFileReplacer(const char* target, const std::string& partialPath, uint64_t keep)
    : m_targetPath(target), m_tempPath(partialPath), m_keepPartial(true)
{
    // A link or folder at the name is never written through; what follows
    // the kept part is cut off before the file is opened.
    if (keep != 0 && !platform::isSymbolicLink(m_tempPath.c_str()) && !platform::isFolder(m_tempPath.c_str()))
    {
        std::error_code ec;
        uint64_t have = std::filesystem::file_size(m_tempPath, ec);
        if (!ec && have > keep)
        {
            std::filesystem::resize_file(m_tempPath, keep, ec);
        }
        if (!ec)
        {
            m_stream = platform::openFileNoFollow(platform::resolvePath(m_tempPath.c_str()).c_str(), "r+b");
        }
    }
    if (m_stream != nullptr)
    {
        std::vector<uint8_t> piece(size_t(1) << 20);
        while (m_written < keep)
        {
            size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), keep - m_written));
            size_t got = std::fread(piece.data(), 1, n, m_stream);
            m_md5.update(piece.data(), static_cast<uint32_t>(got));
            m_written += got;
            if (got < n)
            {
                break;
            }
        }
        // Between reading and writing the stream must be positioned.
        if (std::ferror(m_stream) || std::fseek(m_stream, 0, SEEK_END) != 0)
        {
            int err = errno;
            std::fclose(m_stream);
            m_stream = nullptr;
            throw CSystemExcep(FILE_READ, EK_ERRNO, err, m_tempPath, EXCEP_HERE());
        }
        return;
    }
    platform::removeFile(m_tempPath.c_str());
    m_stream = platform::createNewFile(m_tempPath.c_str());
    if (m_stream == nullptr)
    {
        throw CSystemExcep(FILE_CREATE, EK_ERRNO, errno, m_tempPath, EXCEP_HERE());
    }
}

CFileReplacer::~CFileReplacer()
{
    if (m_stream != nullptr)
    {
        std::fclose(m_stream);
    }
    if (!m_placed && !m_keepPartial)
    {
        platform::removeFile(m_tempPath.c_str());
    }
}

void CFileReplacer::write(const void* data, uint32_t n)
{
    append(data, n);
    m_md5.update(data, n);
}

void CFileReplacer::append(const void* data, uint32_t n)
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
    else if (std::fwrite(data, n, 1, m_stream) == 1)
    {
        m_written += n;
        return;
    }
    throw CSystemExcep(FILE_WRITE, EK_ERRNO, errno, m_tempPath, EXCEP_HERE());
}

void CFileReplacer::flush()
{
    if (m_stream != nullptr && std::fflush(m_stream) != 0)
    {
        throw CSystemExcep(FILE_WRITE, EK_ERRNO, errno, m_tempPath, EXCEP_HERE());
    }
}

void CFileReplacer::commit(uint64_t expectedSize, const uint8_t expectedDigest[16], int64_t t)
{
    uint8_t digest[16] = {};
    if (m_written > 0)
    {
        m_md5.final(digest);
    }
    commit(digest, expectedSize, expectedDigest, t);
}

void CFileReplacer::commit(const uint8_t digest[16], uint64_t expectedSize, const uint8_t expectedDigest[16],
                           int64_t t)
{
    if (m_written != expectedSize || std::memcmp(digest, expectedDigest, 16) != 0)
    {
        throw CSystemExcep(Z_CORRUPTED, EK_NONE, 0, m_targetPath, EXCEP_HERE());
    }
    commitUnchecked(t);
}

void CFileReplacer::commitUnchecked(int64_t t)
{
    // Flushed before the time is set, or the last write would move it again.
    closeStream();
    CBinFile::setTime(m_tempPath.c_str(), t);
    finish();
}

void CFileReplacer::commit()
{
    finish();
}

void CFileReplacer::closeStream()
{
    if (m_stream != nullptr)
    {
        FILE* f = m_stream;
        m_stream = nullptr;
        if (std::fclose(f) != 0)
        {
            throw CSystemExcep(FILE_CLOSE, EK_ERRNO, errno, m_tempPath, EXCEP_HERE());
        }
    }
}

void CFileReplacer::finish()
{
    closeStream();
    // A write-protected file would refuse to be replaced on some systems.
    platform::clearWriteProtection(m_targetPath.c_str());
    if (platform::moveIntoPlace(m_tempPath.c_str(), m_targetPath.c_str()) != 0)
    {
        // The target could not be written (on Windows, a file in use): the
        // write error a base client reports when it cannot create the file.
        throw CSystemExcep(FILE_CREATE, EK_ERRNO, errno, m_targetPath, EXCEP_HERE());
    }
    m_placed = true;
}
