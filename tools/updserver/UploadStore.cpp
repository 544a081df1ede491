#include "tools/updserver/UploadStore.h"

#include <atomic>
#include <random>
#include <system_error>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/StoredFormats.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace
{
constexpr const char* kTempPrefix = ".upload-";
constexpr const char* kTempSuffix = ".tmp";
constexpr size_t kOutBuffer = 64 * 1024;

// A name no other upload of this or another server process picks: a counter
// and a random part, and the file is created exclusively all the same.
std::string uniquePart()
{
    static std::atomic<uint64_t> counter{0};
    static const uint64_t seed = []
    {
        std::random_device r;
        return (uint64_t(r()) << 32) ^ r();
    }();
    char text[40];
    std::snprintf(text, sizeof text, "%016llx-%llu", static_cast<unsigned long long>(seed),
                  static_cast<unsigned long long>(++counter));
    return text;
}
} // namespace

CUploadStore::CUploadStore(fs::path target, uint64_t maxUnpacked)
    : m_target(std::move(target)), m_maxUnpacked(maxUnpacked)
{
}

CUploadStore::~CUploadStore()
{
    discard();
    if (m_inflating)
        inflateEnd(&m_zs);
}

bool CUploadStore::isTemporaryName(const std::string& fileName)
{
    const size_t prefix = std::char_traits<char>::length(kTempPrefix);
    const size_t suffix = std::char_traits<char>::length(kTempSuffix);
    return fileName.size() > prefix + suffix && fileName.compare(0, prefix, kTempPrefix) == 0 &&
           fileName.compare(fileName.size() - suffix, suffix, kTempSuffix) == 0;
}

bool CUploadStore::fail(const std::string& reason)
{
    if (!m_failed)
    {
        m_failed = true;
        m_why = reason;
        discard();
    }
    return false;
}

void CUploadStore::discard()
{
    if (m_file)
    {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (!m_committed && !m_temp.empty())
    {
        std::error_code ignored;
        fs::remove(m_temp, ignored);
    }
}

bool CUploadStore::open()
{
    std::error_code ec;
    fs::create_directories(m_target.parent_path(), ec);
    if (fs::is_directory(fs::symlink_status(m_target, ec)))
        return fail("it would replace a folder");
    for (int attempt = 0; attempt < 8 && !m_file; ++attempt)
    {
        m_temp = m_target.parent_path() /
                 (kTempPrefix + m_target.filename().string() + "." + uniquePart() + kTempSuffix);
        // "x": created here or not at all, never shared with another upload.
        m_file = platform::createNewFile(m_temp.string().c_str());
    }
    if (!m_file)
    {
        m_temp.clear();
        return fail("cannot create a temporary file beside it");
    }
    m_out.resize(kOutBuffer);
    return true;
}

bool CUploadStore::append(const void* bytes, uint32_t length)
{
    if (m_failed || !m_file)
        return false;
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    while (length > 0 && m_headerFill < sizeof m_header)
    {
        m_header[m_headerFill++] = *p++;
        --length;
        if (m_headerFill == sizeof m_header && !takeHeader())
            return false;
    }
    if (length == 0)
        return true;
    if (m_packedIn + length > m_declaredPacked)
        return fail("more data than its header announces");
    m_packedIn += length;
    return inflateSome(p, length);
}

bool CUploadStore::takeHeader()
{
    PackedHead head;
    if (PackedHead::decode(m_header, sizeof m_header, head) != WireCheck::OK)
        return fail("it is not packed data");
    m_declaredUnpacked = head.unpackedSize;
    m_declaredPacked = head.packedSize;
    if (m_declaredUnpacked > CDataFile::MAX_SIZE || m_declaredPacked > CDataFile::MAX_SIZE)
        return fail("it is not packed data");
    if (m_declaredUnpacked > m_maxUnpacked)
        return fail("it unpacks to " + std::to_string(m_declaredUnpacked) +
                    " bytes, more than the limit of " + std::to_string(m_maxUnpacked));
    if (inflateInit(&m_zs) != Z_OK)
        return fail("no memory to unpack it");
    m_inflating = true;
    return true;
}

bool CUploadStore::inflateSome(const uint8_t* bytes, uint32_t length)
{
    if (m_ended)
        return fail("data after the end of the packed stream");
    m_zs.next_in = const_cast<Bytef*>(bytes);
    m_zs.avail_in = length;
    for (;;)
    {
        m_zs.next_out = m_out.data();
        m_zs.avail_out = static_cast<uInt>(m_out.size());
        int r = inflate(&m_zs, Z_NO_FLUSH);
        size_t produced = m_out.size() - m_zs.avail_out;
        if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR)
            return fail("its packed data is corrupt");
        // The header's size is checked against the limit; holding the stream
        // to it holds the stream to the limit too.
        if (m_written + produced > m_declaredUnpacked)
            return fail("it unpacks to more than its header announces");
        if (produced && std::fwrite(m_out.data(), 1, produced, m_file) != produced)
            return fail("writing the temporary file failed");
        m_written += produced;
        if (r == Z_STREAM_END)
        {
            m_ended = true;
            return m_zs.avail_in == 0 ? true : fail("data after the end of the packed stream");
        }
        if (m_zs.avail_out != 0 || (r == Z_BUF_ERROR && produced == 0))
            return true; // all input taken, or nothing more can move without it
    }
}

bool CUploadStore::commit(uint32_t time)
{
    if (m_failed || !m_file)
        return false;
    if (m_headerFill < sizeof m_header || !m_ended || m_packedIn != m_declaredPacked ||
        m_written != m_declaredUnpacked)
        return fail("the packed data is incomplete");
    bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (!closed)
        return fail("writing the temporary file failed");
    if (platform::setFileTime(m_temp.string().c_str(), time) != 0)
        m_why = "its time could not be set"; // stored all the same
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(m_target, ec)))
        return fail("it would replace a folder");
    fs::rename(m_temp, m_target, ec);
    if (ec)
        return fail("renaming it into place failed: " + ec.message());
    m_committed = true;
    return true;
}
