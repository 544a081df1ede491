// CStreamReceiver: the client's end of a streaming transfer on a session that
// agreed to it. It asks for a range of a file and takes its segments as they
// come, granting credit a window ahead so that the server never waits for a
// round trip; each chunk is CRC-checked, each segment unpacked and handed on
// whole, and a damaged one is asked for again without restarting the range.
// Memory is one segment, packed and unpacked, whatever the file's size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "newupdatesystem/Common/PacketChannel.h"
#include "newupdatesystem/Common/SegmentCodec.h"
#include "newupdatesystem/Common/StreamProto.h"

class CStreamReceiver
{
public:
    // Each verified segment in order: its bytes and its offset in the file.
    using Sink = std::function<void(const uint8_t* bytes, size_t length, uint64_t offset)>;

    CStreamReceiver(CPacketChannel& channel, uint32_t window = STREAM_DEFAULT_WINDOW);

    // Receives length bytes of the file from offset; the server's file size.
    // PROTO_UNKN_MSG when the server refuses the file or the range, PROTO_DATA
    // for a chunk that does not fit what was asked, PROTO_PROTO when a segment
    // arrives damaged more than STREAM_MAX_REPEATS times in a row.
    // What the sink throws is raised once the transfer has ended, so that the
    // session stays in step.
    uint64_t receive(const std::string& name, uint64_t offset, uint64_t length, const Sink& sink);

    // The same in two steps, so that requests can go out ahead of the answers
    // (the server keeps a few; answers come in the order asked).
    void request(const std::string& name, uint64_t offset, uint64_t length)
    {
        sendRequest(m_channel, m_window, name, offset, length);
    }
    static void sendRequest(CPacketChannel& channel, uint32_t window, const std::string& name,
                            uint64_t offset, uint64_t length);
    uint64_t receiveAnswer(uint64_t offset, uint64_t length, const Sink& sink)
    {
        return receiveRange(offset, length, sink, false);
    }
    // One of the server's lists ("list", "ignore", "self_upd"), whole: asked
    // for with "SLst", taken only when it has at most maxSize bytes.
    static void sendListRequest(CPacketChannel& channel, uint32_t window, const std::string& name,
                                uint64_t maxSize);
    uint64_t receiveList(uint64_t maxSize, const Sink& sink) { return receiveRange(0, maxSize, sink, true); }
    // A listed file's chunk index ("SIdx"), whole like a list: taken with
    // receiveList.
    static void sendIndexRequest(CPacketChannel& channel, uint32_t window, const std::string& name,
                                 uint64_t maxSize);

    // Segments asked for again during the last receive.
    unsigned repeatedSegments() const { return m_repeated; }

private:
    static void sendGet(CPacketChannel& channel, uint32_t tag, uint32_t window, const std::string& name,
                        uint64_t offset, uint64_t length);
    // whole: the file from 0 to its end, which may lie at most at length.
    uint64_t receiveRange(uint64_t offset, uint64_t length, const Sink& sink, bool whole);
    void sendAck(uint64_t verified);

    CPacketChannel& m_channel;
    uint32_t m_window;
    CSegmentCodec m_codec;
    std::vector<uint8_t> m_packed;
    std::vector<uint8_t> m_raw;
    unsigned m_repeated = 0;
};
