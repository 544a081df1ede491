// CDataFile: the growable byte buffer that holds whole files in memory, and the
// codec of the "ZPck" compressed format in which every file crosses the network:
//   offset 0  magic         "ZPck" (0x6B63505A)
//   offset 4  unpackedSize  length of the data, at most 0x20000000
//   offset 8  packedSize    length of the zlib stream, at most 0x20000000
//   offset 12 a zlib stream (RFC 1950) made at level 9; total length packedSize + 12
// All numbers unsigned 32-bit little-endian. Failures are CSystemExcep with
// Z_OUT_OF_BUFFER or Z_CORRUPTED (kind EK_NONE); an allocation that cannot be
// satisfied throws std::bad_alloc.
#pragma once

#include <cstdint>

class CDataFile
{
public:
    static constexpr uint32_t MAGIC =
        uint32_t('Z') | uint32_t('P') << 8 | uint32_t('c') << 16 | uint32_t('k') << 24;
    static constexpr uint32_t HEADER_SIZE = 12;      // PackedHead (StoredFormats.h) reads and writes it
    static constexpr uint32_t MAX_SIZE = 0x20000000; // both sizes of the header
    static_assert(MAGIC == 0x6B63505A);

    // Packs length bytes of source into dest. In: capacity = bytes available;
    // out: bytes written (0 after a failure).
    static void pack(void* dest, uint32_t& capacity, const void* source, uint32_t length);
    // Unpacks a whole packed file of length bytes. In: capacity = bytes
    // available; out: bytes produced (0 after a failure).
    static void unpack(void* dest, uint32_t& capacity, const void* source, uint32_t length);

    CDataFile() = default;
    // packed false: the file's bytes; packed true: the file's bytes unpacked.
    CDataFile(const char* path, bool packed);
    ~CDataFile() { free(); }
    CDataFile(const CDataFile&) = delete;
    CDataFile& operator=(const CDataFile&) = delete;
    CDataFile(CDataFile&& other) noexcept;
    CDataFile& operator=(CDataFile&& other) noexcept;

    void free();
    // Grows to exactly n bytes when smaller; never shrinks; size unchanged.
    void reserve(uint32_t n);
    // Grows or trims the buffer to exactly n bytes (at least size) in place
    // where the allocator can: a packing that grows by doubling keeps no
    // second copy and ends with no slack.
    void resize(uint32_t n);
    // Copies length bytes to offset (growing to at least twice the capacity),
    // then size = offset + length.
    void writeAt(const void* source, uint32_t length, uint32_t offset);
    // Size 0, capacity kept.
    void clear() { m_used = 0; }

    // CBinFile errors pass through (FILE_OPEN, FILE_READ, FILE_CREATE, ...).
    void loadFromFile(const char* path);
    void saveToFile(const char* path) const;

    // Replace the contents by the packed / unpacked form of source. A header's
    // unpackedSize sizes the output in advance and must match the result.
    void packFrom(const void* source, uint32_t length);
    void packFrom(const CDataFile& other) { packFrom(other.data(), other.size()); }
    void unpackFrom(const void* source, uint32_t length);

    uint32_t size() const { return m_used; }
    uint32_t capacity() const { return m_allocated; }
    uint8_t* data() { return m_bytes; }
    const uint8_t* data() const { return m_bytes; }

private:
    bool holds(const void* p) const;

    uint32_t m_allocated = 0;
    uint8_t* m_bytes = nullptr;
    uint32_t m_used = 0;
};
