#include "newupdatesystem/Common/FrameCodec.h"

#include <bit>
#include <cstring>

namespace
{

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

} // namespace

CFrameEncoder::CFrameEncoder(uint8_t frameEnd, uint8_t frameEsc, uint8_t frameEscEnd, uint32_t nominalSize)
    : frameEnd(frameEnd), frameEsc(frameEsc), frameEscEnd(frameEscEnd),
      buffer(new uint8_t[2 * size_t(nominalSize)]()), cap(2 * nominalSize)
{
}

bool CFrameEncoder::encode(const void* data, uint32_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const uint8_t* const e = p + length;
    uint8_t* const out = buffer.get();
    const uint64_t endPattern = frameEnd * kOnes;
    const uint64_t escPattern = frameEsc * kOnes;
    uint32_t n = count;

    // Sixteen bytes at a time while even their worst case fits; most words carry
    // no framing byte and are copied whole.
    while (e - p >= 16 && cap - n >= 32) {
        uint64_t a = load64(p);
        uint64_t b = load64(p + 8);
        if (!(hasByte(a, endPattern) | hasByte(a, escPattern) | hasByte(b, endPattern) |
              hasByte(b, escPattern))) {
            std::memcpy(out + n, p, 16);
            n += 16;
            p += 16;
            continue;
        }
        for (int i = 0; i < 16; ++i) {
            uint8_t c = p[i];
            if (c == frameEnd) {
                out[n++] = frameEsc;
                out[n++] = frameEscEnd;
            } else if (c == frameEsc) {
                out[n++] = frameEsc;
                out[n++] = frameEsc;
            } else {
                out[n++] = c;
            }
        }
        p += 16;
    }

    // The rest byte by byte, checking the room before every byte.
    for (; p < e; ++p) {
        uint8_t c = *p;
        bool escaped = c == frameEnd || c == frameEsc;
        if (n >= cap) {
            count = n;
            return false;
        }
        out[n++] = escaped ? frameEsc : c;
        if (escaped) {
            if (n >= cap) {
                count = n;
                return false;
            }
            out[n++] = c == frameEnd ? frameEscEnd : frameEsc;
        }
    }
    count = n;
    return true;
}

bool CFrameEncoder::finish()
{
    if (count >= cap)
        return false;
    buffer[count++] = frameEnd;
    return true;
}

CFrameDecoder::CFrameDecoder(uint8_t frameEnd, uint8_t frameEsc, uint8_t frameEscEnd, uint32_t nominalSize)
    : frameEnd(frameEnd), frameEsc(frameEsc), frameEscEnd(frameEscEnd),
      buffer(new uint8_t[nominalSize]()), cap(nominalSize)
{
}

int CFrameDecoder::feed(const uint8_t* input, uint32_t length, uint32_t& pos)
{
    if (state == COMPLETE) {
        state = NORMAL;
        count = 0;
        packetLen = 0;
    }
    uint8_t* const out = buffer.get();
    const uint64_t endPattern = frameEnd * kOnes;
    const uint64_t escPattern = frameEsc * kOnes;

    while (pos < length) {
        if (state == NORMAL) {
            // Plain runs are copied sixteen, then eight bytes at a time while they
            // fit the buffer.
            while (length - pos >= 16 && cap - count >= 16) {
                uint64_t a = load64(input + pos);
                uint64_t b = load64(input + pos + 8);
                if (hasByte(a, endPattern) | hasByte(a, escPattern) | hasByte(b, endPattern) |
                    hasByte(b, escPattern))
                    break;
                std::memcpy(out + count, input + pos, 16);
                count += 16;
                pos += 16;
            }
            while (length - pos >= 8 && cap - count >= 8) {
                uint64_t w = load64(input + pos);
                std::memcpy(out + count, &w, 8);
                uint64_t special = hasByte(w, endPattern) | hasByte(w, escPattern);
                if (special != 0) {
                    // The lowest flag always marks a real framing byte: keep
                    // the plain bytes before it.
                    uint32_t plain = uint32_t(__builtin_ctzll(special)) / 8;
                    count += plain;
                    pos += plain;
                    break;
                }
                count += 8;
                pos += 8;
            }
            if (pos >= length)
                break;
        } else if (state == SKIPPING) {
            const void* end = std::memchr(input + pos, frameEnd, length - pos);
            if (end == nullptr) {
                pos = length;
                break;
            }
            pos = uint32_t(static_cast<const uint8_t*>(end) - input) + 1;
            state = NORMAL;
            count = 0;
            packetLen = 0;
            continue;
        }

        uint8_t c = input[pos++];
        if (state == AFTER_ESC) {
            if (c == frameEscEnd)
                c = frameEnd;
            else if (c != frameEsc) {
                state = SKIPPING;
                return FEED_BAD_ESCAPE;
            }
        } else if (c == frameEnd) {
            packetLen = count;
            count = 0;
            state = COMPLETE;
            return FEED_PACKET;
        } else if (c == frameEsc) {
            state = AFTER_ESC;
            continue;
        }
        if (count >= cap) {
            state = SKIPPING;
            return FEED_OVERFLOW;
        }
        out[count++] = c;
        state = NORMAL;
    }
    return FEED_MORE;
}
