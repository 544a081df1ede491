// Little-endian integers at a byte position. Only the message codecs, the list
// format and the packed-data format spell bytes; everything else goes through
// them.
#pragma once

#include <cstdint>

inline void putLe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline uint32_t getLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void putLe64(uint8_t* p, uint64_t v)
{
    putLe32(p, uint32_t(v));
    putLe32(p + 4, uint32_t(v >> 32));
}

inline uint64_t getLe64(const uint8_t* p)
{
    return uint64_t(getLe32(p)) | uint64_t(getLe32(p + 4)) << 32;
}
