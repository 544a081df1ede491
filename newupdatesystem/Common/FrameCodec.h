// Byte-stuffed framing: FRAME_END ends a packet, FRAME_END and FRAME_ESC inside a
// packet travel as FRAME_ESC followed by FRAME_ESC_END or FRAME_ESC.
#pragma once

#include <cstdint>
#include <memory>

class CFrameEncoder
{
public:
    // The buffer holds twice the nominal size, enough for a packet of the
    // nominal size escaped at worst.
    CFrameEncoder(uint8_t frameEnd, uint8_t frameEsc, uint8_t frameEscEnd, uint32_t nominalSize);

    void reset() { m_count = 0; }
    // Appends the escaped bytes; false when the buffer is full (the frame is then
    // unusable and must be abandoned).
    bool encode(const void* data, uint32_t length);
    // Appends FRAME_END; false when the buffer is full.
    bool finish();

    const uint8_t* data() const { return m_buffer.get(); }
    uint32_t size() const { return m_count; }
    uint32_t capacity() const { return m_cap; }

private:
    uint8_t m_frameEnd, m_frameEsc, m_frameEscEnd;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_cap;
    uint32_t m_count = 0;
};

class CFrameDecoder
{
public:
    enum Result : int
    {
        FEED_MORE = 0,     // input used up, packet not complete
        FEED_OVERFLOW = 1, // packet longer than the buffer
        FEED_PACKET = 2,   // packet complete
        FEED_BAD_ESCAPE = 3,
    };

    CFrameDecoder(uint8_t frameEnd, uint8_t frameEsc, uint8_t frameEscEnd, uint32_t nominalSize);

    // Decodes from input[pos] on and advances pos. The decoder's state carries
    // over between calls; after an overflow or a bad escape it skips everything
    // up to and including the next FRAME_END. A completed packet stays available
    // until the next call.
    int feed(const uint8_t* input, uint32_t length, uint32_t& pos);

    const uint8_t* packet() const { return m_buffer.get(); }
    uint32_t packetLength() const { return m_packetLen; }
    uint32_t capacity() const { return m_cap; }
    // Forgets any partial or skipped frame.
    void reset()
    {
        m_state = NORMAL;
        m_count = 0;
        m_packetLen = 0;
    }

private:
    enum State : int
    {
        NORMAL = 0,
        AFTER_ESC = 1,
        COMPLETE = 2,
        SKIPPING = 3,
    };

    // Moves plain bytes, and escape pairs undone, from input[pos] on into the
    // buffer while a block of input and of room is left; stops in front of
    // anything the byte rules must see.
    void copyRuns(const uint8_t* input, uint32_t length, uint32_t& pos);

    uint8_t m_frameEnd, m_frameEsc, m_frameEscEnd;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_cap;
    uint32_t m_count = 0;
    int m_state = NORMAL;
    uint32_t m_packetLen = 0;
};
