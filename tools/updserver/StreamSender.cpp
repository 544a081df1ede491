#include "tools/updserver/StreamSender.h"

#include <algorithm>
#include <stdexcept>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/StoredFormats.h"
#include "newupdatesystem/Common/StreamMessages.h"

namespace
{
const char* const kServe = "CStreamSender::serve";
} // namespace

bool CStreamSender::parseRequest(const uint8_t* p, uint32_t length, Request& request)
{
    StreamRequestMsg m;
    if (StreamRequestMsg::decode(p, length, m) != WireCheck::OK)
        return false;
    request.list = m.list;
    request.index = m.index;
    request.offset = m.offset;
    request.length = m.length;
    request.credit = m.credit;
    request.name = std::move(m.name);
    return true;
}

CStreamSender::CStreamSender(CPacketChannel& channel, Opener opener, uint32_t segmentSize)
    : m_channel(channel), m_opener(std::move(opener)),
      m_segmentSize(std::clamp<uint32_t>(segmentSize, 1, STREAM_MAX_SEGMENT)),
      m_codec(1, SegmentProbe::SAMPLE)
{
}

void CStreamSender::add(const Request& request)
{
    if (m_transfers.size() > kMaxQueued)
        throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kServe));
    Transfer t;
    t.request = request;
    t.next = t.verified = request.offset;
    // Credit never runs further ahead than a client may ask for.
    t.credit = std::min(request.credit, request.offset + STREAM_MAX_WINDOW);
    m_transfers.push_back(std::move(t));
}

bool CStreamSender::open(Transfer& t)
{
    Request& r = t.request;
    t.source = Source();
    if (r.list)
    {
        // Whole, if the client takes that much: the request's length becomes the list's.
        if (r.offset != 0 || !m_opener(r, t.source) || t.source.size > r.length)
            return false;
        r.length = t.source.size;
        return true;
    }
    return r.length <= UINT64_MAX - r.offset && m_opener(r, t.source) && r.offset <= t.source.size &&
           r.length <= t.source.size - r.offset;
}

uint64_t CStreamSender::sendSegment(Transfer& t, uint32_t length)
{
    SegmentMethod method = SegmentMethod::STORED;
    // A packed image, the whole file's or this segment's: the magic, the
    // unpacked size, the stream's size, then a zlib stream, which is what a
    // packed segment is.
    constexpr uint32_t kImageHead = PackedHead::SIZE;
    auto fits = [length](const uint8_t* image, uint32_t imageLength)
    { return SegmentImage::holdsStream(image, imageLength, length); };
    // Files are open only while they are sent: they are opened again for a
    // repeat.
    if (!t.source.file && !open(t))
        throw std::runtime_error("file changed while it was sent");
    const Source& s = t.source;
    const uint8_t* image = nullptr;
    uint32_t imageLength = 0;
    std::shared_ptr<const CDataFile> kept;
    bool storedBefore = false;
    if (t.next == 0 && fits(s.image, s.imageLength))
    {
        image = s.image;
        imageLength = s.imageLength;
    }
    else if (s.findSegment && (kept = s.findSegment(t.next, length)))
    {
        if (fits(kept->data(), kept->size()))
        {
            image = kept->data();
            imageLength = kept->size();
        }
        storedBefore = SegmentImage::marksStored(kept->data(), kept->size(), length);
    }
    if (image != nullptr && imageLength - kImageHead < length)
    {
        m_packed.assign(image + kImageHead, image + imageLength);
        method = SegmentMethod::ZLIB;
    }
    else
    {
        m_raw.resize(length);
        s.file->clear();
        s.file->seekg(static_cast<std::streamoff>(t.next));
        if (!s.file->read(reinterpret_cast<char*>(m_raw.data()), length))
            throw std::runtime_error("file ends before its size");
        // Where the cache's packing did not shrink it, a quicker one would not either.
        if (image != nullptr || storedBefore)
        {
            m_packed.swap(m_raw);
        }
        else
        {
            method = m_codec.pack(m_raw.data(), m_raw.size(), m_packed);
            if (s.keepSegment)
            {
                const bool packed = method == SegmentMethod::ZLIB;
                s.keepSegment(t.next, length, m_packed.data(), packed ? m_packed.size() : 0);
            }
        }
    }
    StreamChunkHead h{t.next, length, uint32_t(m_packed.size()), uint32_t(method), 0, 0};
    while (h.chunkOffset < h.packedLength)
    {
        uint32_t n = std::min(h.packedLength - h.chunkOffset, SDAT_MAX_CHUNK);
        h.crc = calcCrc32(m_packed.data() + h.chunkOffset, n, 0);
        const auto head = h.encode();
        m_channel.sendPacket(head.data(), head.size(), m_packed.data() + h.chunkOffset, n);
        h.chunkOffset += n;
    }
    return m_packed.size();
}

bool CStreamSender::sendSome()
{
    for (Transfer& t : m_transfers)
    {
        if (!t.announced)
        {
            // Opened in its turn, so that a session holds few files open.
            t.refused = !open(t);
            if (t.refused)
            {
                t.next = t.verified = t.end();
                m_channel.sendMsg(0, TAG_ACSS);
            }
            else
            {
                const auto info = StreamInfoMsg{t.source.size, m_segmentSize}.encode();
                m_channel.sendPacket(info.data(), info.size());
            }
            t.announced = true;
            // Nothing to send (refused, or an empty range): nothing stays open.
            if (t.next == t.end())
                t.source = Source();
            return true;
        }
        if (t.next < t.end())
        {
            if (t.next >= t.credit)
                return false; // later transfers wait behind this one
            uint32_t n = uint32_t(std::min<uint64_t>(m_segmentSize, t.end() - t.next));
            const uint64_t sent = sendSegment(t, n);
            if (!t.request.list)
                m_sent += sent;
            t.next += n;
            if (t.next == t.end())
                t.source = Source();
            return true;
        }
    }
    return false;
}

uint64_t CStreamSender::serve(const Request& first)
{
    m_repeated = 0;
    m_repeatFrom = UINT64_MAX;
    m_repeatRun = 0;
    m_sent = 0;
    m_completed = 0;
    // Segments leave in large writes; receiving sends what is gathered first.
    m_channel.setGathering(true);
    struct Drop
    {
        CPacketChannel& channel;
        ~Drop() { channel.dropGathered(); }
    } drop{m_channel};
    add(first);
    while (!m_transfers.empty())
    {
        // A transfer the client has all of, or was refused, is over.
        Transfer& front = m_transfers.front();
        if (front.announced && front.verified == front.end())
        {
            if (!front.refused && !front.request.list)
                ++m_completed;
            m_transfers.pop_front();
            m_repeatFrom = UINT64_MAX;
            continue;
        }
        if (sendSome())
            continue;
        m_channel.recvPacket();
        const uint8_t* p = m_channel.packetData();
        const uint32_t tag = m_channel.packetTag();
        StreamAckMsg sack;
        StreamRepeatMsg srep;
        if (tag == TAG_QUIT)
            throw CProtoExcep(PROTO_QUIT, EXCEP_SITE(kServe));
        if (StreamAckMsg::decode(p, m_channel.packetLength(), sack) == WireCheck::OK)
        {
            uint64_t ack = sack.verified;
            if (!front.announced || ack < front.verified || ack > front.next)
                throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kServe));
            verified(front, ack);
            front.credit = std::max(front.credit, std::min(sack.credit, ack + STREAM_MAX_WINDOW));
        }
        else if (StreamRepeatMsg::decode(p, m_channel.packetLength(), srep) == WireCheck::OK)
        {
            uint64_t from = srep.segment;
            if (!front.announced || from < front.verified || from >= front.next ||
                (from - front.request.offset) % m_segmentSize != 0)
                throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kServe));
            if (!countRepeat(from))
                throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kServe));
            // The client drops everything until that segment comes again, so
            // everything after it goes again too.
            front.next = from;
            for (size_t i = 1; i < m_transfers.size(); ++i)
            {
                Transfer& t = m_transfers[i];
                t.announced = false;
                t.next = t.verified = t.request.offset;
                t.credit = std::min(t.request.credit, t.request.offset + STREAM_MAX_WINDOW);
            }
        }
        else if (tag == TAG_SGET || tag == TAG_SLST)
        {
            Request next;
            if (!parseRequest(p, m_channel.packetLength(), next))
                throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kServe));
            add(next);
        }
        else
        {
            throw CProtoExcep(PROTO_PROTO, EXCEP_SITE(kServe));
        }
    }
    m_channel.setGathering(false);
    return m_sent;
}

bool CStreamSender::countRepeat(uint64_t from)
{
    if (++m_repeated > m_repeatsAllowed)
        return false;
    m_repeatRun = from == m_repeatFrom ? m_repeatRun + 1 : 1;
    m_repeatFrom = from;
    return m_repeatRun <= STREAM_MAX_REPEATS;
}

void CStreamSender::verified(Transfer& front, uint64_t ack)
{
    if (ack > m_repeatFrom)
        m_repeatFrom = UINT64_MAX; // that segment came through: a new run starts
    if (ack > front.verified && m_progress)
        m_progress(ack - front.verified);
    front.verified = ack;
}
