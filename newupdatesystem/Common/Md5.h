// MD5 (RFC 1321): file checksums in file lists and the login digest.
#pragma once

#include <cstddef>
#include <cstdint>

class CMd5
{
public:
    CMd5() { reset(); }
    void reset();
    void update(const void* data, size_t size);
    // Writes the 16-byte digest; the object must be reset before reuse.
    void final(uint8_t digest[16]);

    static void digest(const void* data, size_t size, uint8_t out[16]);

private:
    uint32_t m_state[4];
    uint64_t m_total;
    uint8_t m_block[64];
    size_t m_used;
};
