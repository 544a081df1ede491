// While a streaming receiver drops what comes before the segment it asked for
// again, nothing it receives moves the transfer. Only what may still be in
// flight from before the request (a window of this answer and the answers
// asked for ahead) keeps the wait alive; anything beyond that, and every
// packet that is not a chunk, runs into the I/O time-out, so a peer cannot
// hold the receiver by sending packets of no use.
#pragma once

#include <cstdint>

#include "newupdatesystem/Common/AsyncTCP.h"
#include "newupdatesystem/Common/StreamProto.h"

class CSkipDeadline
{
public:
    // What may be in flight: a whole window, a segment beyond it, and as
    // much again for the answers sent ahead.
    static constexpr uint64_t kInFlight = 2 * uint64_t(STREAM_MAX_WINDOW) + STREAM_MAX_SEGMENT;

    explicit CSkipDeadline(double timeout) : m_timeout(timeout) {}

    // The receiver begins to drop.
    void start()
    {
        m_since = CStopwatch();
        m_dropped = 0;
    }
    // One packet dropped, chunkBytes of it chunk content (0 for any other
    // packet); true once the time-out has passed without a reason to wait.
    bool dropped(uint64_t chunkBytes)
    {
        if (chunkBytes != 0 && m_dropped + chunkBytes <= kInFlight)
        {
            m_dropped += chunkBytes;
            m_since = CStopwatch();
        }
        return m_since.elapsed() > m_timeout;
    }

private:
    double m_timeout;
    CStopwatch m_since;
    uint64_t m_dropped = 0;
};
