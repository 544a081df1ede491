#include "tools/updserver/UploadStore.h"

#include <atomic>
#include <random>
#include <system_error>

#include "newupdatesystem/Common/DataFile.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace
{
constexpr const char* kTempPrefix = ".upload-";
constexpr const char* kTempSuffix = ".tmp";
constexpr size_t kOutBuffer = 64 * 1024;

uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A name no other upload of this or another server process picks: a counter
// and a random part, and the file is created exclusively all the same.
std::string uniquePart()
{
    static std::atomic<uint64_t> counter{0};
    static const uint64_t seed = [] {
        std::random_device r;
        return (uint64_t(r()) << 32) ^ r();
    }();
    char text[40];
    std::snprintf(text, sizeof text, "%016llx-%llu", static_cast<unsigned long long>(seed),
                  static_cast<unsigned long long>(++counter));
    return text;
}
} // namespace

CUploadStore::CUploadStore(fs::path target, uint64_t maxUnpacked) : target(std::move(target)), maxUnpacked(maxUnpacked)
{
}

CUploadStore::~CUploadStore()
{
    discard();
    if (inflating)
        inflateEnd(&zs);
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
    if (!failed) {
        failed = true;
        why = reason;
        discard();
    }
    return false;
}

void CUploadStore::discard()
{
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
    if (!committed && !temp.empty()) {
        std::error_code ignored;
        fs::remove(temp, ignored);
    }
}

bool CUploadStore::open()
{
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (fs::is_directory(fs::symlink_status(target, ec)))
        return fail("it would replace a folder");
    for (int attempt = 0; attempt < 8 && !file; ++attempt) {
        temp = target.parent_path() / (kTempPrefix + target.filename().string() + "." + uniquePart() + kTempSuffix);
        // "x": created here or not at all, never shared with another upload.
        file = platform::createNewFile(temp.string().c_str());
    }
    if (!file) {
        temp.clear();
        return fail("cannot create a temporary file beside it");
    }
    out.resize(kOutBuffer);
    return true;
}

bool CUploadStore::append(const void* bytes, uint32_t length)
{
    if (failed || !file)
        return false;
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    while (length > 0 && headerFill < sizeof header) {
        header[headerFill++] = *p++;
        --length;
        if (headerFill == sizeof header && !takeHeader())
            return false;
    }
    if (length == 0)
        return true;
    if (packedIn + length > declaredPacked)
        return fail("more data than its header announces");
    packedIn += length;
    return inflateSome(p, length);
}

bool CUploadStore::takeHeader()
{
    declaredUnpacked = le32(header + 4);
    declaredPacked = le32(header + 8);
    if (le32(header) != CDataFile::MAGIC || declaredUnpacked > CDataFile::MAX_SIZE ||
        declaredPacked > CDataFile::MAX_SIZE)
        return fail("it is not packed data");
    if (declaredUnpacked > maxUnpacked)
        return fail("it unpacks to " + std::to_string(declaredUnpacked) + " bytes, more than the limit of " +
                    std::to_string(maxUnpacked));
    if (inflateInit(&zs) != Z_OK)
        return fail("no memory to unpack it");
    inflating = true;
    return true;
}

bool CUploadStore::inflateSome(const uint8_t* bytes, uint32_t length)
{
    if (ended)
        return fail("data after the end of the packed stream");
    zs.next_in = const_cast<Bytef*>(bytes);
    zs.avail_in = length;
    for (;;) {
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        int r = inflate(&zs, Z_NO_FLUSH);
        size_t produced = out.size() - zs.avail_out;
        if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR)
            return fail("its packed data is corrupt");
        // The header's size is checked against the limit; holding the stream
        // to it holds the stream to the limit too.
        if (written + produced > declaredUnpacked)
            return fail("it unpacks to more than its header announces");
        if (produced && std::fwrite(out.data(), 1, produced, file) != produced)
            return fail("writing the temporary file failed");
        written += produced;
        if (r == Z_STREAM_END) {
            ended = true;
            return zs.avail_in == 0 ? true : fail("data after the end of the packed stream");
        }
        if (zs.avail_out != 0 || (r == Z_BUF_ERROR && produced == 0))
            return true; // all input taken, or nothing more can move without it
    }
}

bool CUploadStore::commit(uint32_t time)
{
    if (failed || !file)
        return false;
    if (headerFill < sizeof header || !ended || packedIn != declaredPacked || written != declaredUnpacked)
        return fail("the packed data is incomplete");
    bool closed = std::fclose(file) == 0;
    file = nullptr;
    if (!closed)
        return fail("writing the temporary file failed");
    if (platform::setFileTime(temp.string().c_str(), time) != 0)
        why = "its time could not be set"; // stored all the same
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(target, ec)))
        return fail("it would replace a folder");
    fs::rename(temp, target, ec);
    if (ec)
        return fail("renaming it into place failed: " + ec.message());
    committed = true;
    return true;
}
