// CStreamSender: the server's end of streaming transfers. It sends ranges of
// files in segments, each packed on its own (or stored when packing does not
// pay) and cut into CRC-checked chunks, as far ahead as the client's credit
// reaches, and reads the client only when it has nothing it may send. Requests
// the client sends ahead are answered in order, one after the other without
// waiting for the previous one's last acknowledgement; a segment the client
// asks for again is sent again, and everything after it. Memory is one
// segment and the open transfers' states.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "newupdatesystem/Common/DataFile.h"
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
        bool list = false;  // "SLst": a list, whole, its length the most the client takes
        bool index = false; // "SIdx": a file's chunk index, answered as a list
    };

    // What a request is served from.
    struct Source
    {
        std::unique_ptr<std::istream> file;
        uint64_t size = 0;
        // The whole file as the pack cache holds it (a CDataFile packed
        // image), for a file of one segment: its stream goes out as that
        // segment when it is the smaller form. keep holds it alive.
        std::shared_ptr<const void> keep;
        const uint8_t* image = nullptr;
        uint32_t imageLength = 0;
        // Where the server keeps packed segments of larger files for the next
        // client: findSegment gives the kept image of a segment or null,
        // keepSegment stores the zlib stream of one just packed. An image of
        // no stream marks a segment that packing does not shrink.
        std::function<std::shared_ptr<const CDataFile>(uint64_t offset, uint32_t length)> findSegment;
        std::function<void(uint64_t offset, uint32_t length, const uint8_t* stream, size_t streamLength)>
            keepSegment;
    };
    // Opens what the request names; false refuses it with "Acss" (also a range
    // beyond the file's end).
    using Opener = std::function<bool(const Request&, Source&)>;

    // Requests that may wait behind the transfer under way: enough for a
    // window's worth of small files.
    static constexpr size_t kMaxQueued = 1024;

    // A packet as an "SGet" or "SLst"; false when it is malformed.
    static bool parseRequest(const uint8_t* packet, uint32_t length, Request& request);

    CStreamSender(CPacketChannel& channel, Opener opener, uint32_t segmentSize = STREAM_SEGMENT_SIZE);

    // Serves the request and those that arrive meanwhile until the client has
    // verified all of them; the bytes of files sent, repeats included (lists
    // are not counted, as with "Get "). PROTO_PROTO for
    // an answer that does not fit, or too many requests waiting; PROTO_QUIT
    // when the client quits; std::runtime_error when a file cannot be read.
    uint64_t serve(const Request& first);
    // Files the last serve delivered whole (refused ones and lists not counted).
    uint64_t filesCompleted() const { return m_completed; }

    unsigned repeatedSegments() const { return m_repeated; }
    // Repeats the next serve may grant in all, whatever the segments: the
    // session's allowance left. More ends it like a segment asked for too often.
    void limitRepeats(unsigned total) { m_repeatsAllowed = total; }
    // Called with the bytes each "SAck" newly verifies: the client's progress.
    void onVerified(std::function<void(uint64_t)> progress) { m_progress = std::move(progress); }

private:
    struct Transfer
    {
        Request request;
        Source source;
        bool refused = false;
        bool announced = false; // "SInf" or "Acss" sent
        uint64_t next = 0;      // where sending goes on
        uint64_t verified = 0;
        uint64_t credit = 0;
        uint64_t end() const { return request.offset + request.length; }
    };

    void add(const Request& request);
    // Opens the transfer's source; false when the request is refused.
    bool open(Transfer& t);
    // Sends the next thing the first transfer with something to send may
    // send; false when none may.
    bool sendSome();
    uint64_t sendSegment(Transfer& t, uint32_t length);
    // Counts an "SRep" of the front transfer from that offset; false past a
    // bound (the same segment more than STREAM_MAX_REPEATS times in a row, or
    // the allowance in all).
    bool countRepeat(uint64_t from);
    void verified(Transfer& front, uint64_t ack);

    CPacketChannel& m_channel;
    Opener m_opener;
    uint32_t m_segmentSize;
    CSegmentCodec m_codec;
    std::deque<Transfer> m_transfers; // in the order asked; the first one is being verified
    std::vector<uint8_t> m_raw;
    std::vector<uint8_t> m_packed;
    unsigned m_repeated = 0;
    unsigned m_repeatsAllowed = UINT32_MAX;
    uint64_t m_repeatFrom = UINT64_MAX; // the segment last asked for again, while not verified
    unsigned m_repeatRun = 0;
    std::function<void(uint64_t)> m_progress;
    uint64_t m_sent = 0;
    uint64_t m_completed = 0;
};
