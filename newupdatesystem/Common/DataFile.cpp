#include "newupdatesystem/Common/DataFile.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <zlib.h>

#include "newupdatesystem/Common/BinFile.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/StoredFormats.h"

static_assert(PackedHead::SIZE == CDataFile::HEADER_SIZE && PackedHead::MAGIC == CDataFile::MAGIC);

namespace
{

[[noreturn]] void fail(int32_t code, const CThrowSite& site)
{
    throw CSystemExcep(code, EK_NONE, 0, "", site);
}

// zlib 1.2.3's bound, or the linked zlib's when larger: later versions
// allow a few more bytes for incompressible input, and the output buffer is
// sized once.
uint64_t packBound(uint32_t length)
{
    uint64_t old = uint64_t(length) + (length >> 12) + (length >> 14) + 11;
    return std::max<uint64_t>(old, compressBound(length));
}

} // namespace

void CDataFile::pack(void* dest, uint32_t& capacity, const void* source, uint32_t length)
{
    uint32_t available = capacity;
    capacity = 0;
    if (available < HEADER_SIZE || length > MAX_SIZE)
    {
        fail(Z_OUT_OF_BUFFER, EXCEP_HERE());
    }
    uint8_t* out = static_cast<uint8_t*>(dest);
    PackedHead head{length, 0};
    std::memcpy(out, head.encode().data(), HEADER_SIZE);
    uLongf streamLength = available - HEADER_SIZE;
    int rc = compress2(out + HEADER_SIZE, &streamLength, static_cast<const Bytef*>(source), length, 9);
    if (rc != Z_OK || streamLength > MAX_SIZE)
    {
        fail(Z_OUT_OF_BUFFER, EXCEP_HERE());
    }
    head.packedSize = uint32_t(streamLength);
    std::memcpy(out, head.encode().data(), HEADER_SIZE);
    capacity = uint32_t(streamLength) + HEADER_SIZE;
}

void CDataFile::unpack(void* dest, uint32_t& capacity, const void* source, uint32_t length)
{
    uint32_t available = capacity;
    capacity = 0;
    const uint8_t* in = static_cast<const uint8_t*>(source);
    PackedHead head;
    if (PackedHead::decode(in, length, head) != WireCheck::OK)
    {
        fail(Z_CORRUPTED, EXCEP_HERE());
    }
    const uint32_t unpackedSize = head.unpackedSize;
    const uint32_t packedSize = head.packedSize;
    if (packedSize > MAX_SIZE || packedSize + HEADER_SIZE != length)
    {
        fail(Z_CORRUPTED, EXCEP_HERE());
    }
    if (unpackedSize > available)
    {
        fail(Z_OUT_OF_BUFFER, EXCEP_HERE());
    }
    uLongf produced = available;
    uLong consumed = packedSize;
    int rc = uncompress2(static_cast<Bytef*>(dest), &produced, in + HEADER_SIZE, &consumed);
    // Newer zlib reports a stream that ends early as a full buffer when the
    // output happens to be complete; all input used up means it was cut short.
    if (rc == Z_BUF_ERROR && consumed == packedSize)
    {
        fail(Z_CORRUPTED, EXCEP_HERE());
    }
    if (rc == Z_MEM_ERROR || rc == Z_BUF_ERROR)
    {
        fail(Z_OUT_OF_BUFFER, EXCEP_HERE());
    }
    if (rc != Z_OK)
    {
        fail(Z_CORRUPTED, EXCEP_HERE());
    }
    capacity = uint32_t(produced);
}

CDataFile::CDataFile(const char* path, bool packed)
{
    if (!packed)
    {
        loadFromFile(path);
        return;
    }
    CDataFile raw;
    raw.loadFromFile(path);
    unpackFrom(raw.data(), raw.size());
}

CDataFile::CDataFile(CDataFile&& other) noexcept
    : m_allocated(std::exchange(other.m_allocated, 0)), m_bytes(std::exchange(other.m_bytes, nullptr)),
      m_used(std::exchange(other.m_used, 0))
{
}

CDataFile& CDataFile::operator=(CDataFile&& other) noexcept
{
    if (this != &other)
    {
        free();
        m_allocated = std::exchange(other.m_allocated, 0);
        m_bytes = std::exchange(other.m_bytes, nullptr);
        m_used = std::exchange(other.m_used, 0);
    }
    return *this;
}

void CDataFile::free()
{
    ::free(m_bytes);
    m_bytes = nullptr;
    m_allocated = 0;
    m_used = 0;
}

void CDataFile::reserve(uint32_t n)
{
    if (m_allocated >= n)
    {
        return;
    }
    // calloc: large blocks come zeroed from the system without a pass over them.
    uint8_t* grown = static_cast<uint8_t*>(calloc(n, 1));
    if (grown == nullptr)
    {
        throw std::bad_alloc();
    }
    if (m_used > 0)
    {
        memcpy(grown, m_bytes, m_used);
    }
    ::free(m_bytes);
    m_bytes = grown;
    m_allocated = n;
}

void CDataFile::resize(uint32_t n)
{
    n = std::max(n, std::max<uint32_t>(m_used, 1));
    if (n == m_allocated)
    {
        return;
    }
    uint8_t* moved = static_cast<uint8_t*>(::realloc(m_bytes, n));
    if (moved == nullptr)
    {
        throw std::bad_alloc();
    }
    m_bytes = moved;
    m_allocated = n;
}

void CDataFile::writeAt(const void* source, uint32_t length, uint32_t offset)
{
    uint64_t end = uint64_t(offset) + length;
    if (end > UINT32_MAX)
    {
        throw std::bad_alloc();
    }
    if (end > m_allocated)
    {
        reserve(uint32_t(std::min<uint64_t>(std::max<uint64_t>(uint64_t(m_allocated) * 2, end), UINT32_MAX)));
    }
    if (length > 0)
    {
        memcpy(m_bytes + offset, source, length);
    }
    m_used = uint32_t(end);
}

void CDataFile::loadFromFile(const char* path)
{
    CBinFile file(path, CBinFile::MODE_OPEN);
    int32_t n = file.length();
    if (n < 0)
    {
        // Too large for the format (or unknowable): no buffer can hold it.
        throw CSystemExcep(FILE_READ, EK_ERRNO, EFBIG, path, EXCEP_SITE("CBinFile::read"));
    }
    reserve(std::max<uint32_t>(uint32_t(n), 16));
    file.read(m_bytes, uint32_t(n));
    file.safeClose();
    m_used = uint32_t(n);
}

void CDataFile::saveToFile(const char* path) const
{
    CBinFile file(path, CBinFile::MODE_CREATE);
    file.write(m_bytes, m_used);
    file.safeClose();
}

bool CDataFile::holds(const void* p) const
{
    uintptr_t at = reinterpret_cast<uintptr_t>(p);
    uintptr_t start = reinterpret_cast<uintptr_t>(m_bytes);
    return m_bytes != nullptr && at >= start && at - start < m_allocated;
}

void CDataFile::packFrom(const void* source, uint32_t length)
{
    if (length > 0 && holds(source))
    {
        // Growing would free the source first.
        CDataFile packed;
        packed.packFrom(source, length);
        *this = std::move(packed);
        return;
    }
    uint64_t bound = packBound(length);
    if (bound > MAX_SIZE)
    {
        fail(Z_OUT_OF_BUFFER, EXCEP_SITE("CDataFile::pack"));
    }
    reserve(uint32_t(bound) + HEADER_SIZE);
    uint32_t written = m_allocated;
    pack(m_bytes, written, source, length);
    m_used = written;
}

void CDataFile::unpackFrom(const void* source, uint32_t length)
{
    const uint8_t* in = static_cast<const uint8_t*>(source);
    PackedHead head;
    if (PackedHead::decode(in, length, head) != WireCheck::OK || head.unpackedSize > MAX_SIZE)
    {
        fail(Z_CORRUPTED, EXCEP_SITE("CDataFile::unpack"));
    }
    const uint32_t unpackedSize = head.unpackedSize;
    // Deflate expands at most 1032:1, so a header promising more is corrupt
    // whatever follows; checking here spares a hostile 512 MiB allocation.
    if (unpackedSize > uint64_t(length - HEADER_SIZE) * 1032 + 1024)
    {
        fail(Z_CORRUPTED, EXCEP_SITE("CDataFile::unpack"));
    }
    if (holds(source))
    {
        CDataFile unpacked;
        unpacked.unpackFrom(source, length);
        *this = std::move(unpacked);
        return;
    }
    reserve(std::max<uint32_t>(unpackedSize, 16));
    uint32_t produced = unpackedSize;
    unpack(m_bytes, produced, source, length);
    if (produced != unpackedSize)
    {
        fail(Z_CORRUPTED, EXCEP_SITE("CDataFile::unpack"));
    }
    m_used = unpackedSize;
}
