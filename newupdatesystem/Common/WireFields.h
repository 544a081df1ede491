// For the message codecs only: fields written and read in order, each in its
// little-endian form, so that a message's encoder and decoder name its fields
// once and the layout lies in the order of the names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "newupdatesystem/Common/WireBytes.h"

namespace wirefields
{
inline void put(uint8_t*& p, uint32_t v)
{
    putLe32(p, v);
    p += 4;
}
inline void put(uint8_t*& p, uint64_t v)
{
    putLe64(p, v);
    p += 8;
}
inline void put(uint8_t*& p, int64_t v)
{
    put(p, static_cast<uint64_t>(v));
}
template <size_t N> void put(uint8_t*& p, const uint8_t (&v)[N])
{
    std::memcpy(p, v, N);
    p += N;
}
template <size_t N> void put(uint8_t*& p, const uint32_t (&v)[N])
{
    for (uint32_t w : v)
        put(p, w);
}

inline void get(const uint8_t*& p, uint32_t& v)
{
    v = getLe32(p);
    p += 4;
}
inline void get(const uint8_t*& p, uint64_t& v)
{
    v = getLe64(p);
    p += 8;
}
inline void get(const uint8_t*& p, int64_t& v)
{
    uint64_t u = 0;
    get(p, u);
    v = static_cast<int64_t>(u);
}
template <size_t N> void get(const uint8_t*& p, uint8_t (&v)[N])
{
    std::memcpy(v, p, N);
    p += N;
}
template <size_t N> void get(const uint8_t*& p, uint32_t (&v)[N])
{
    for (uint32_t& w : v)
        get(p, w);
}

template <class T> constexpr size_t size()
{
    return sizeof(T);
}
} // namespace wirefields

// The fields in order from the start of a buffer of Size bytes, the rest zero.
template <size_t Size, class... F> std::array<uint8_t, Size> encodeFields(const F&... fields)
{
    static_assert((wirefields::size<F>() + ...) <= Size);
    std::array<uint8_t, Size> out{};
    uint8_t* p = out.data();
    (wirefields::put(p, fields), ...);
    return out;
}

// The fields in order from at; the caller has checked the length.
template <class... F> void decodeFields(const uint8_t* at, F&... fields)
{
    (wirefields::get(at, fields), ...);
}
