#include "tools/updserver/StreamSender.h"

#include <algorithm>
#include <stdexcept>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/Excep.h"

namespace
{
const char* const kSend = "CStreamSender::send";
} // namespace

bool CStreamSender::parseRequest(const uint8_t* p, uint32_t length, Request& request)
{
    if (length < SGET_HEAD_SIZE + 2 || length > SGET_HEAD_SIZE + GET_REQUEST_LIMIT + 1 ||
        getLe32(p + 4) != TAG_SGET || p[length - 1] != 0)
        return false;
    request.offset = getLe64(p + 8);
    request.length = getLe64(p + 16);
    request.credit = getLe64(p + 24);
    request.name.assign(reinterpret_cast<const char*>(p + SGET_HEAD_SIZE), length - SGET_HEAD_SIZE - 1);
    return request.name.find('\0') == std::string::npos;
}

CStreamSender::CStreamSender(CPacketChannel& channel, std::deque<Request>& queue, uint32_t segmentSize)
    : channel(channel), queue(queue), segmentSize(std::clamp<uint32_t>(segmentSize, 1, STREAM_MAX_SEGMENT)),
      codec(1, SegmentProbe::SAMPLE)
{
}

uint64_t CStreamSender::sendSegment(std::istream& file, uint64_t at, uint32_t length)
{
    SegmentMethod method = SegmentMethod::STORED;
    // A cached image: the magic, the unpacked size, the stream's size, then a
    // zlib stream, which is what a packed segment is.
    constexpr uint32_t kImageHead = 12;
    if (at == 0 && cachedImage != nullptr && cachedLength > kImageHead && getLe32(cachedImage + 4) == length &&
        getLe32(cachedImage + 8) == cachedLength - kImageHead && cachedLength - kImageHead < length) {
        packed.assign(cachedImage + kImageHead, cachedImage + cachedLength);
        method = SegmentMethod::ZLIB;
    } else {
        raw.resize(length);
        file.clear();
        file.seekg(static_cast<std::streamoff>(at));
        if (!file.read(reinterpret_cast<char*>(raw.data()), length))
            throw std::runtime_error("file ends before its size");
        method = codec.pack(raw.data(), raw.size(), packed);
    }
    StreamChunkHead h{at, length, uint32_t(packed.size()), uint32_t(method), 0, 0};
    uint8_t head[SDAT_HEAD_SIZE];
    while (h.chunkOffset < h.packedLength) {
        uint32_t n = std::min(h.packedLength - h.chunkOffset, SDAT_MAX_CHUNK);
        h.crc = calcCrc32(packed.data() + h.chunkOffset, n, 0);
        encodeStreamChunkHead(h, head);
        channel.sendPacket(head, sizeof head, packed.data() + h.chunkOffset, n);
        h.chunkOffset += n;
    }
    return packed.size();
}

uint64_t CStreamSender::send(std::istream& file, uint64_t fileSize, const Request& request)
{
    repeated = 0;
    uint8_t info[SINF_SIZE];
    putLe32(info, PACKET_SIGNATURE);
    putLe32(info + 4, TAG_SINF);
    putLe64(info + 8, fileSize);
    putLe32(info + 16, segmentSize);
    channel.sendPacket(info, sizeof info);

    const uint64_t end = request.offset + request.length;
    uint64_t next = request.offset;
    uint64_t verified = request.offset;
    uint64_t credit = std::min(request.credit, request.offset + STREAM_MAX_WINDOW);
    uint64_t sent = 0;
    while (verified < end) {
        if (next < end && next < credit) {
            uint32_t n = uint32_t(std::min<uint64_t>(segmentSize, end - next));
            sent += sendSegment(file, next, n);
            next += n;
            continue;
        }
        channel.recvPacket();
        const uint8_t* p = channel.packetData();
        const uint32_t tag = channel.packetTag();
        if (tag == TAG_QUIT)
            throw CProtoExcep(PROTO_QUIT, EXCEP_SITE(kSend));
        if (tag == TAG_SACK && channel.packetLength() == SACK_SIZE) {
            uint64_t ack = getLe64(p + 8);
            if (ack < verified || ack > next)
                throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kSend));
            verified = ack;
            // Credit never shrinks, and never runs further ahead than a
            // client may ask for.
            credit = std::max(credit, std::min(getLe64(p + 16), verified + STREAM_MAX_WINDOW));
        } else if (tag == TAG_SREP && channel.packetLength() == SREP_SIZE) {
            uint64_t from = getLe64(p + 8);
            if (from < verified || from >= next || (from - request.offset) % segmentSize != 0)
                throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kSend));
            if (++repeated > STREAM_MAX_REPEATS * ((end - request.offset) / segmentSize + 1))
                throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kSend));
            next = from;
        } else if (tag == TAG_SGET) {
            Request next;
            if (queue.size() >= kMaxQueued || !parseRequest(p, channel.packetLength(), next))
                throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kSend));
            queue.push_back(std::move(next));
        } else {
            throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kSend));
        }
    }
    return sent;
}
