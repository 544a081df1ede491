// CStreamSender: the server's end of a streaming transfer. It sends a range of
// a file in segments, each packed on its own (or stored when packing does not
// pay) and cut into CRC-checked chunks, as far ahead as the client's credit
// reaches; it reads the client only when the credit is spent, so a window of
// credit keeps the link full without a round trip per chunk. A segment the
// client asks for again is sent again from there on. Memory is one segment.
#pragma once

#include <cstdint>
#include <deque>
#include <istream>
#include <string>
#include <vector>

#include "newupdatesystem/Common/PacketChannel.h"
#include "newupdatesystem/Common/SegmentCodec.h"
#include "newupdatesystem/Common/StreamProto.h"

class CStreamSender
{
public:
    struct Request
    {
        uint64_t offset = 0;
        uint64_t length = 0;
        uint64_t credit = 0; // end of what may be sent before the client answers
        std::string name;
    };

    // A client may send its next requests before the current transfer ends;
    // they wait here, at most this many.
    static constexpr size_t kMaxQueued = 64;

    // A packet as an "SGet"; false when it is malformed.
    static bool parseRequest(const uint8_t* packet, uint32_t length, Request& request);

    // queue takes the requests that arrive during a transfer.
    CStreamSender(CPacketChannel& channel, std::deque<Request>& queue,
                  uint32_t segmentSize = STREAM_SEGMENT_SIZE);

    // Answers "SInf" and sends the range of file (of fileSize bytes) until the
    // client has verified all of it; the bytes sent, repeats included.
    // PROTO_PROTO for an answer that does not fit the transfer, PROTO_QUIT when
    // the client quits, or too many requests wait; std::runtime_error when the file cannot be read.
    uint64_t send(std::istream& file, uint64_t fileSize, const Request& request);

    unsigned repeatedSegments() const { return repeated; }

    // The whole file as the pack cache holds it (a CDataFile packed image), for
    // a file of one segment: its stream goes out as that segment when it is
    // the smaller form.
    void useCachedImage(const uint8_t* image, uint32_t length)
    {
        cachedImage = image;
        cachedLength = length;
    }

private:
    uint64_t sendSegment(std::istream& file, uint64_t at, uint32_t length);

    CPacketChannel& channel;
    std::deque<Request>& queue;
    uint32_t segmentSize;
    CSegmentCodec codec;
    std::vector<uint8_t> raw;
    std::vector<uint8_t> packed;
    unsigned repeated = 0;
    const uint8_t* cachedImage = nullptr;
    uint32_t cachedLength = 0;
};
