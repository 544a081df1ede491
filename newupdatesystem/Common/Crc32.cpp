#include "newupdatesystem/Common/Crc32.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define UPD_CRC_CLMUL 1
#endif

namespace
{

constexpr uint32_t kPoly = 0xEDB88320u;

// table[k][b] is the CRC register after byte b followed by k zero bytes, which
// lets eight input bytes be folded with eight independent look-ups.
constexpr std::array<std::array<uint32_t, 256>, 8> makeTables()
{
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t b = 0; b < 256; ++b)
    {
        uint32_t c = b;
        for (int i = 0; i < 8; ++i)
            c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
        t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b)
        for (int k = 1; k < 8; ++k)
            t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}

constexpr auto kTables = makeTables();

uint32_t load32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Slicing-by-8 over the raw (not inverted) register.
uint32_t crcTables(uint32_t c, const uint8_t* p, size_t n)
{
    while (n >= 8)
    {
        uint32_t lo = load32(p) ^ c;
        uint32_t hi = load32(p + 4);
        c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
            kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
            kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--)
        c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
    return c;
}

#ifdef UPD_CRC_CLMUL

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold16(__m128i acc, __m128i k, __m128i next)
{
    __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, next), lo);
}

// Carry-less multiplication folding (the bit-reflected constants x^(k) mod P for
// folding distances of 512, 128 and 64 bits, and the Barrett reduction pair).
// Needs n >= 64 and a multiple of 16; works on the raw register like crcTables.
__attribute__((target("pclmul,sse4.1"))) uint32_t crcClmul(uint32_t c, const uint8_t* p, size_t n)
{
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i mask32 = _mm_setr_epi32(-1, 0, -1, 0);

    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(int(c)));
    p += 64;
    n -= 64;

    while (n >= 64)
    {
        __m128i a1 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        __m128i a2 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        __m128i a3 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        __m128i a4 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, a1), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, a2), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, a3), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, a4), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
        p += 64;
        n -= 64;
    }

    x1 = fold16(x1, k3k4, x2);
    x1 = fold16(x1, k3k4, x3);
    x1 = fold16(x1, k3k4, x4);
    while (n >= 16)
    {
        x1 = fold16(x1, k3k4, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        p += 16;
        n -= 16;
    }

    // 128 -> 64 bits.
    x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, mask32);
    x1 = _mm_clmulepi64_si128(x1, k5, 0x00);
    x1 = _mm_xor_si128(x1, x2);

    // Barrett reduction to 32 bits.
    x2 = _mm_and_si128(x1, mask32);
    x2 = _mm_clmulepi64_si128(x2, poly, 0x10);
    x2 = _mm_and_si128(x2, mask32);
    x2 = _mm_clmulepi64_si128(x2, poly, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return uint32_t(_mm_extract_epi32(x1, 1));
}

const bool kHaveClmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");

#endif

} // namespace

uint32_t calcCrc32(const void* bytes, size_t count, uint32_t previous)
{
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint32_t c = ~previous;
#ifdef UPD_CRC_CLMUL
    if (kHaveClmul && count >= 64)
    {
        size_t bulk = count & ~size_t(15);
        c = crcClmul(c, p, bulk);
        p += bulk;
        count -= bulk;
    }
#endif
    return ~crcTables(c, p, count);
}
