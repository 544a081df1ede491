#include "newupdatesystem/Common/FrameCodec.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace
{

#if defined(__SSE2__)

// The two framing bytes, repeated across a vector.
struct FramingBytes
{
    __m128i end, esc;
};

// Bit i set where byte i of v is a framing byte.
inline uint32_t framingMask(__m128i v, const FramingBytes& f)
{
    return uint32_t(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, f.end), _mm_cmpeq_epi8(v, f.esc))));
}

// Copies 16 bytes from in to out and flags the framing bytes among them.
inline uint32_t copyBlock16(const uint8_t* in, uint8_t* out, const FramingBytes& f)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    return framingMask(v, f);
}

// The same for 64 bytes.
inline uint64_t copyBlock64(const uint8_t* in, uint8_t* out, const FramingBytes& f)
{
    uint64_t m0 = copyBlock16(in, out, f);
    uint64_t m1 = copyBlock16(in + 16, out + 16, f);
    uint64_t m2 = copyBlock16(in + 32, out + 32, f);
    uint64_t m3 = copyBlock16(in + 48, out + 48, f);
    return m0 | m1 << 16 | m2 << 32 | m3 << 48;
}

#else

static_assert(std::endian::native == std::endian::little, "word scans take byte 0 as the lowest");

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Whether any byte of w equals the byte whose pattern is given (pattern = byte * kOnes).
inline uint64_t hasByte(uint64_t w, uint64_t pattern)
{
    uint64_t x = w ^ pattern;
    return (x - kOnes) & ~x & kHighs;
}

inline uint64_t load64(const uint8_t* p)
{
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

#endif

} // namespace

CFrameEncoder::CFrameEncoder(uint8_t frameEnd, uint8_t frameEsc, uint8_t frameEscEnd, uint32_t nominalSize)
    : m_frameEnd(frameEnd), m_frameEsc(frameEsc), m_frameEscEnd(frameEscEnd),
      m_buffer(new uint8_t[2 * size_t(nominalSize)]()), m_cap(2 * nominalSize)
{
}

bool CFrameEncoder::encode(const void* data, uint32_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const uint8_t* const e = p + length;
    uint8_t* const out = m_buffer.get();
    uint32_t n = m_count;

#if defined(__SSE2__)
    const FramingBytes framing{_mm_set1_epi8(char(m_frameEnd)), _mm_set1_epi8(char(m_frameEsc))};
    // A block goes out whole before it is looked at; a framing byte in it cuts
    // the copy back to the plain bytes ahead of it. The room asked for covers
    // the block and the escape pair, so no check is needed inside. Short runs
    // take short blocks, as a long one would be looked at again for each of
    // its framing bytes.
    bool longRuns = true;
    while (e - p >= 16 && m_cap - n > 16)
    {
        uint32_t plain;
        if (longRuns && e - p >= 64 && m_cap - n > 64)
        {
            uint64_t special = copyBlock64(p, out + n, framing);
            if (special == 0)
            {
                n += 64;
                p += 64;
                continue;
            }
            plain = uint32_t(std::countr_zero(special));
        }
        else
        {
            uint32_t special = copyBlock16(p, out + n, framing);
            if (special == 0)
            {
                n += 16;
                p += 16;
                longRuns = true;
                continue;
            }
            // With input beyond the block and room for its worst case and a
            // block more, the whole block goes at once: each run after a framing
            // byte is copied as a block of its own.
            if (e - p >= 32 && m_cap - n >= 48)
            {
                const uint8_t* const block = p;
                do
                {
                    const uint8_t* at = block + std::countr_zero(special);
                    n += uint32_t(at - p);
                    out[n] = m_frameEsc;
                    out[n + 1] = *at == m_frameEnd ? m_frameEscEnd : m_frameEsc;
                    n += 2;
                    p = at + 1;
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
                    special &= special - 1;
                } while (special != 0);
                n += uint32_t(block + 16 - p);
                p = block + 16;
                longRuns = false;
                continue;
            }
            plain = uint32_t(std::countr_zero(special));
        }
        longRuns = plain >= 16;
        p += plain;
        n += plain;
        out[n] = m_frameEsc;
        out[n + 1] = *p == m_frameEnd ? m_frameEscEnd : m_frameEsc;
        n += 2;
        ++p;
    }
#else
    const uint64_t endPattern = m_frameEnd * kOnes;
    const uint64_t escPattern = m_frameEsc * kOnes;

    // Sixteen bytes at a time while even their worst case fits; most words carry
    // no framing byte and are copied whole.
    while (e - p >= 16 && m_cap - n >= 32)
    {
        uint64_t a = load64(p);
        uint64_t b = load64(p + 8);
        if (!(hasByte(a, endPattern) | hasByte(a, escPattern) | hasByte(b, endPattern) |
              hasByte(b, escPattern)))
        {
            std::memcpy(out + n, p, 16);
            n += 16;
            p += 16;
            continue;
        }
        for (int i = 0; i < 16; ++i)
        {
            uint8_t c = p[i];
            if (c == m_frameEnd)
            {
                out[n++] = m_frameEsc;
                out[n++] = m_frameEscEnd;
            }
            else if (c == m_frameEsc)
            {
                out[n++] = m_frameEsc;
                out[n++] = m_frameEsc;
            }
            else
            {
                out[n++] = c;
            }
        }
        p += 16;
    }
#endif

    // The rest byte by byte, checking the room before every byte.
    for (; p < e; ++p)
    {
        uint8_t c = *p;
        bool escaped = c == m_frameEnd || c == m_frameEsc;
        if (n >= m_cap)
        {
            m_count = n;
            return false;
        }
        out[n++] = escaped ? m_frameEsc : c;
        if (escaped)
        {
            if (n >= m_cap)
            {
                m_count = n;
                return false;
            }
            out[n++] = c == m_frameEnd ? m_frameEscEnd : m_frameEsc;
        }
    }
    m_count = n;
    return true;
}

bool CFrameEncoder::finish()
{
    if (m_count >= m_cap)
        return false;
    m_buffer[m_count++] = m_frameEnd;
    return true;
}

CFrameDecoder::CFrameDecoder(uint8_t frameEnd, uint8_t frameEsc, uint8_t frameEscEnd, uint32_t nominalSize)
    : m_frameEnd(frameEnd), m_frameEsc(frameEsc), m_frameEscEnd(frameEscEnd),
      m_buffer(new uint8_t[nominalSize]()), m_cap(nominalSize)
{
}

#if defined(__SSE2__)

void CFrameDecoder::copyRuns(const uint8_t* input, uint32_t length, uint32_t& pos)
{
    uint8_t* const out = m_buffer.get();
    const FramingBytes framing{_mm_set1_epi8(char(m_frameEnd)), _mm_set1_epi8(char(m_frameEsc))};
    // Undoes the escape pair at input[pos]; false, leaving it to the byte rules,
    // for FRAME_END, a bad escape or a pair the input splits.
    auto undoEscape = [&]
    {
        if (input[pos] == m_frameEnd || length - pos < 2)
            return false;
        uint8_t next = input[pos + 1];
        if (next == m_frameEscEnd)
            out[m_count] = m_frameEnd;
        else if (next == m_frameEsc)
            out[m_count] = m_frameEsc;
        else
            return false;
        ++m_count;
        pos += 2;
        return true;
    };

    // A block goes into the buffer whole before it is looked at; a framing byte
    // in it cuts the copy back to the plain bytes ahead of it. The block always
    // fits, so the byte an escape pair stands for does too. Short runs take
    // short blocks.
    bool longRuns = true;
    while (length - pos >= 16 && m_cap - m_count >= 16)
    {
        uint32_t plain;
        if (longRuns && length - pos >= 64 && m_cap - m_count >= 64)
        {
            uint64_t special = copyBlock64(input + pos, out + m_count, framing);
            if (special == 0)
            {
                m_count += 64;
                pos += 64;
                continue;
            }
            plain = uint32_t(std::countr_zero(special));
        }
        else
        {
            uint32_t special = copyBlock16(input + pos, out + m_count, framing);
            if (special == 0)
            {
                m_count += 16;
                pos += 16;
                longRuns = true;
                continue;
            }
            // With input beyond the block and room for a block more, the whole
            // block goes at once: each run after an escape pair is copied as a
            // block of its own.
            if (length - pos > 32 && m_cap - m_count >= 32)
            {
                const uint32_t block = pos;
                do
                {
                    uint32_t at = block + uint32_t(std::countr_zero(special));
                    m_count += at - pos;
                    pos = at;
                    if (!undoEscape())
                        return;
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + m_count),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + pos)));
                    // The pair's second byte may be flagged too.
                    special &= ~0u << (pos - block);
                } while (special != 0);
                if (pos < block + 16)
                {
                    m_count += block + 16 - pos;
                    pos = block + 16;
                }
                longRuns = false;
                continue;
            }
            plain = uint32_t(std::countr_zero(special));
        }
        longRuns = plain >= 16;
        m_count += plain;
        pos += plain;
        if (!undoEscape())
            return;
    }
}

#else

void CFrameDecoder::copyRuns(const uint8_t* input, uint32_t length, uint32_t& pos)
{
    uint8_t* const out = m_buffer.get();
    const uint64_t endPattern = m_frameEnd * kOnes;
    const uint64_t escPattern = m_frameEsc * kOnes;

    // Plain runs are copied sixteen, then eight bytes at a time while they
    // fit the buffer.
    while (length - pos >= 16 && m_cap - m_count >= 16)
    {
        uint64_t a = load64(input + pos);
        uint64_t b = load64(input + pos + 8);
        if (hasByte(a, endPattern) | hasByte(a, escPattern) | hasByte(b, endPattern) | hasByte(b, escPattern))
            break;
        std::memcpy(out + m_count, input + pos, 16);
        m_count += 16;
        pos += 16;
    }
    while (length - pos >= 8 && m_cap - m_count >= 8)
    {
        uint64_t w = load64(input + pos);
        std::memcpy(out + m_count, &w, 8);
        uint64_t special = hasByte(w, endPattern) | hasByte(w, escPattern);
        if (special != 0)
        {
            // The lowest flag always marks a real framing byte: keep
            // the plain bytes before it.
            uint32_t plain = uint32_t(__builtin_ctzll(special)) / 8;
            m_count += plain;
            pos += plain;
            return;
        }
        m_count += 8;
        pos += 8;
    }
}

#endif

int CFrameDecoder::feed(const uint8_t* input, uint32_t length, uint32_t& pos)
{
    if (m_state == COMPLETE)
    {
        m_state = NORMAL;
        m_count = 0;
        m_packetLen = 0;
    }
    uint8_t* const out = m_buffer.get();

    while (pos < length)
    {
        if (m_state == NORMAL)
        {
            copyRuns(input, length, pos);
            if (pos >= length)
                break;
        }
        else if (m_state == SKIPPING)
        {
            const void* end = std::memchr(input + pos, m_frameEnd, length - pos);
            if (end == nullptr)
            {
                pos = length;
                break;
            }
            pos = uint32_t(static_cast<const uint8_t*>(end) - input) + 1;
            m_state = NORMAL;
            m_count = 0;
            m_packetLen = 0;
            continue;
        }

        uint8_t c = input[pos++];
        if (m_state == AFTER_ESC)
        {
            if (c == m_frameEscEnd)
                c = m_frameEnd;
            else if (c != m_frameEsc)
            {
                m_state = SKIPPING;
                return FEED_BAD_ESCAPE;
            }
        }
        else if (c == m_frameEnd)
        {
            m_packetLen = m_count;
            m_count = 0;
            m_state = COMPLETE;
            return FEED_PACKET;
        }
        else if (c == m_frameEsc)
        {
            m_state = AFTER_ESC;
            continue;
        }
        if (m_count >= m_cap)
        {
            m_state = SKIPPING;
            return FEED_OVERFLOW;
        }
        out[m_count++] = c;
        m_state = NORMAL;
    }
    return FEED_MORE;
}
