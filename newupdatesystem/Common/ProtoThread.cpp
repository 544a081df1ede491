#include "newupdatesystem/Common/ProtoThread.h"

#include <algorithm>
#include <cstring>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Md5.h"

namespace
{

void putHead(uint8_t* p, uint32_t signature, uint32_t tag)
{
    putLe32(p, signature);
    putLe32(p + 4, tag);
}

} // namespace

CProtoThread::CProtoThread() : CProtoThread(kIoTimeout) {}

CProtoThread::CProtoThread(double ioTimeout)
    : CSocketThread(false, ioTimeout),
      decoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE),
      encoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE),
      recvBuffer(new uint8_t[FRAME_NOMINAL_SIZE]())
{
}

CProtoThread::~CProtoThread() = default;

CAsyncTcp& CProtoThread::requireSocket(const char* function) const
{
    // Without a socket the connection counts as closed, as after onFinish.
    CAsyncTcp* s = getSocket();
    if (s == nullptr)
        throw CSocketExcep(NET_SELECT, 0, CThrowSite{__FILE__, __DATE__, __TIME__, __LINE__, function});
    return *s;
}

// ---------------------------------------------------------------- sending

void CProtoThread::sendPacket(const void* head, uint32_t headLength, const void* data, uint32_t dataLength)
{
    encoder.reset();
    if (!encoder.encode(head, headLength) || (dataLength != 0 && !encoder.encode(data, dataLength)) ||
        !encoder.finish())
        throw CProtoExcep(PROTO_PACKET, EXCEP_HERE());

    // One send may take only part of the frame; the peer's decoder needs every
    // frame whole, so the rest follows until all is sent or the time is up.
    CAsyncTcp& socket = requireSocket("CAsyncTcp::readyToSend");
    CStopwatch watch;
    const uint8_t* p = encoder.data();
    uint32_t left = encoder.size();
    while (left > 0) {
        double remaining = getIoTimeout() - watch.elapsed();
        int32_t n = int32_t(left);
        if (remaining < 0 || !socket.send(p, n, remaining))
            throw CProtoExcep(PROTO_TIMEOUT, EXCEP_HERE());
        p += n;
        left -= uint32_t(n);
    }
    onTraffic(encoder.size(), 0);
}

void CProtoThread::sendMsg(uint32_t tag)
{
    uint8_t head[PACKET_HEAD_SIZE];
    putHead(head, 0, tag);
    sendPacket(head, sizeof head);
}

void CProtoThread::sendInit(uint32_t sessionKind, uint32_t version)
{
    uint8_t packet[16];
    putHead(packet, PACKET_SIGNATURE, TAG_INIT);
    putLe32(packet + 8, sessionKind);
    putLe32(packet + 12, version);
    sendPacket(packet, sizeof packet);
}

void CProtoThread::sendText(uint32_t tag, const std::string& text)
{
    uint8_t head[PACKET_HEAD_SIZE];
    putHead(head, PACKET_SIGNATURE, tag);
    sendPacket(head, sizeof head, text.c_str(), uint32_t(text.size()) + 1);
}

void CProtoThread::sendModify(uint32_t operation, const std::string& path, uint32_t value)
{
    uint8_t head[16];
    putHead(head, PACKET_SIGNATURE, TAG_MDFY);
    putLe32(head + 8, operation);
    putLe32(head + 12, value);
    sendPacket(head, sizeof head, path.c_str(), uint32_t(path.size()) + 1);
}

void CProtoThread::sendData(uint32_t tag, uint32_t subtag, const void* bytes, uint32_t length)
{
    const uint8_t* data = static_cast<const uint8_t*>(bytes);
    uint32_t done = 0;
    while (done < length) {
        checkRun();
        uint32_t n = std::min(length - done, CHUNK_MAX_SIZE);
        uint8_t header[CHUNK_HEADER_SIZE];
        putHead(header, PACKET_SIGNATURE, tag);
        putLe32(header + 8, subtag);
        putLe32(header + 12, n);
        putLe32(header + 16, done);
        putLe32(header + 20, calcCrc32(data + done, n, 0));
        sendPacket(header, sizeof header, data + done, n);
        // "Rept" asks for the same chunk again, as often as it comes.
        if (tag != TAG_DATA || recvAckMsg(TAG_ACKN, TAG_REPT))
            done += n;
    }
    if (tag == TAG_DATA)
        sendMsg(TAG_ENDF);
}

void CProtoThread::sendGetRequest(uint32_t subtag, const std::string& name)
{
    sendData(TAG_GET, subtag, name.data(), uint32_t(name.size()));
}

void CProtoThread::sendFileData(uint32_t subtag, const CDataFile& buffer)
{
    sendData(TAG_DATA, subtag, buffer.data(), buffer.size());
}

// ---------------------------------------------------------------- receiving

void CProtoThread::recvPacket(uint32_t* words)
{
    for (;;) {
        checkRun();
        if (readPos < fill) {
            int r = decoder.feed(recvBuffer.get(), fill, readPos);
            if (r == CFrameDecoder::FEED_PACKET)
                break;
            if (r != CFrameDecoder::FEED_MORE)
                throw CProtoExcep(PROTO_PACKET, EXCEP_HERE());
            continue;
        }
        readPos = 0;
        fill = 0;
        int32_t got = int32_t(FRAME_NOMINAL_SIZE);
        if (!requireSocket("CAsyncTcp::readyToRecv").receiveTimeout(recvBuffer.get(), got, getIoTimeout()))
            throw CProtoExcep(PROTO_TIMEOUT, EXCEP_HERE());
        fill = uint32_t(got);
        if (firstData && fill != 0) {
            firstData = false;
            if (!onFirstData(recvBuffer.get(), fill)) {
                getSocket()->detach();
                throw CProtoExcep(PROTO_PLUGIN, EXCEP_HERE());
            }
        }
    }

    uint32_t length = decoder.packetLength();
    if (length < PACKET_HEAD_SIZE)
        throw CProtoExcep(PROTO_PACKET, EXCEP_HERE());
    const uint8_t* p = decoder.packet();
    if (words != nullptr) {
        words[0] = getLe32(p);
        words[1] = getLe32(p + 4);
    }
    switch (getLe32(p + 4)) {
    case TAG_QUIT:
        throw CProtoExcep(PROTO_QUIT, EXCEP_HERE());
    case TAG_BUSY:
        throw CProtoExcep(PROTO_BUSY, EXCEP_HERE());
    case TAG_ACSS:
        throw CProtoExcep(PROTO_ACCESS, EXCEP_HERE());
    case TAG_RJTD:
        throw CProtoExcep(PROTO_AUTH, EXCEP_HERE());
    default:
        onTraffic(0, length);
    }
}

uint32_t CProtoThread::packetTag() const
{
    return decoder.packetLength() >= PACKET_HEAD_SIZE ? getLe32(decoder.packet() + 4) : 0;
}

bool CProtoThread::recvInit(uint32_t words[4])
{
    if (decoder.packetLength() != 16)
        return false;
    const uint8_t* p = decoder.packet();
    for (int i = 0; i < 4; ++i)
        words[i] = getLe32(p + 4 * i);
    return words[1] == TAG_INIT;
}

void CProtoThread::processDataPacket(uint32_t& subtag, uint32_t offset, const uint8_t*& content,
                                     uint32_t& length)
{
    const uint8_t* p = decoder.packet();
    uint32_t packetLen = decoder.packetLength();
    uint32_t tag = packetTag();
    if (tag != TAG_DATA && tag != TAG_GET)
        throw CProtoExcep(PROTO_DATA, EXCEP_HERE());
    if (packetLen <= CHUNK_HEADER_SIZE)
        throw CProtoExcep(PROTO_DATA, EXCEP_HERE());
    uint32_t chunkSubtag = getLe32(p + 8);
    if (chunkSubtag != SUBTAG_NORM && chunkSubtag != SUBTAG_SPEC && chunkSubtag != SUBTAG_SPCP &&
        chunkSubtag != SUBTAG_NRMP)
        throw CProtoExcep(PROTO_DATA, EXCEP_HERE());
    if (subtag == 0)
        subtag = chunkSubtag;
    else if (subtag != chunkSubtag)
        throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
    uint32_t chunkLength = getLe32(p + 12);
    uint32_t chunkOffset = getLe32(p + 16);
    if (chunkLength == 0 || packetLen != uint64_t(chunkLength) + CHUNK_HEADER_SIZE ||
        chunkOffset != offset)
        throw CProtoExcep(PROTO_DATA, EXCEP_HERE());
    // Computed wide so that no offset can wrap around the limit.
    uint64_t limit = tag == TAG_DATA ? DATA_TRANSFER_LIMIT : GET_REQUEST_LIMIT;
    if (uint64_t(chunkOffset) + chunkLength > limit)
        throw CProtoExcep(PROTO_TOO_LARGE, EXCEP_HERE());

    const uint8_t* chunk = p + CHUNK_HEADER_SIZE;
    if (calcCrc32(chunk, chunkLength, 0) == getLe32(p + 20)) {
        if (tag == TAG_DATA)
            sendMsg(TAG_ACKN);
        content = chunk;
        length = chunkLength;
        return;
    }
    if (tag != TAG_DATA)
        throw CProtoExcep(PROTO_DATA, EXCEP_HERE());
    sendMsg(TAG_REPT);
    content = nullptr;
    length = 0;
}

void CProtoThread::recvFile(uint32_t subtag, CDataFile& buffer, uint32_t reserveSize)
{
    buffer.reserve(reserveSize);
    // The transfer replaces what the buffer held, also when it is empty.
    buffer.clear();
    uint32_t received = 0;
    for (;;) {
        if (!isRunning())
            stopRun();
        uint32_t words[2];
        recvPacket(words);
        if (words[1] == TAG_ENDF)
            return;
        const uint8_t* content = nullptr;
        uint32_t length = 0;
        processDataPacket(subtag, received, content, length);
        if (content != nullptr) {
            buffer.writeAt(content, length, received);
            received += length;
        }
    }
}

void CProtoThread::recvChecksum(uint8_t checksum[16])
{
    uint32_t words[2];
    recvPacket(words);
    if (words[1] != TAG_FSUM || decoder.packetLength() != 24)
        throw CProtoExcep(PROTO_DATA, EXCEP_HERE());
    std::memcpy(checksum, decoder.packet() + 8, 16);
}

bool CProtoThread::recvAckMsg(uint32_t first, uint32_t second)
{
    uint32_t words[2];
    recvPacket(words);
    if (words[1] == first)
        return true;
    if (words[1] == second)
        return false;
    throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
}

void CProtoThread::parseTextMsg(uint32_t offset, std::string& text)
{
    const uint8_t* p = decoder.packet();
    uint32_t length = decoder.packetLength();
    if (offset >= length || p[length - 1] != 0)
        throw CProtoExcep(PROTO_DATA, EXCEP_HERE());
    const char* start = reinterpret_cast<const char*>(p + offset);
    size_t textLength = std::strlen(start);
    if (textLength + 1 != length - offset)
        throw CProtoExcep(PROTO_DATA, EXCEP_HERE());
    text.assign(start, textLength);
}

void CProtoThread::makeAuthDigest(const char* password, uint8_t digest[16]) const
{
    CMd5 md5;
    md5.update(challenge, sizeof challenge);
    md5.update(password, std::strlen(password));
    md5.final(digest);
}

void CProtoThread::setChallenge(const uint8_t value[8])
{
    std::memcpy(challenge, value, sizeof challenge);
}

bool CProtoThread::loadPacket(const void* bytes, uint32_t length)
{
    encoder.reset();
    if (!encoder.encode(bytes, length) || !encoder.finish())
        return false;
    uint32_t pos = 0;
    decoder.reset();
    return decoder.feed(encoder.data(), encoder.size(), pos) == CFrameDecoder::FEED_PACKET;
}

// ---------------------------------------------------------------- course of work

void CProtoThread::onStart()
{
    bool goOn = false;
    try {
        goOn = protoHandshake();
    } catch (const CProtoExcep& e) {
        onProtoExcep(e);
    } catch (const CSocketExcep& e) {
        onSocketExcep(e);
    }
    if (!goOn)
        stopRun();
}

bool CProtoThread::step()
{
    try {
        return protoProcess();
    } catch (const CProtoExcep& e) {
        onProtoExcep(e);
        // A broken packet or chunk costs only that exchange.
        return e.code == PROTO_PACKET || e.code == PROTO_DATA;
    } catch (const CSocketExcep& e) {
        onSocketExcep(e);
        return false;
    }
}

void CProtoThread::onProtoExcep(const CProtoExcep& e)
{
    logInfo("%s: Proto exception: %s, source: %s", getPeerAddress().c_str(), e.description(),
            e.formatSource().c_str());
}

void CProtoThread::onSocketExcep(const CSocketExcep& e)
{
    std::string text;
    e.errorText(text);
    logWarning("%s: Socket exception %s: %s, source: %s", getPeerAddress().c_str(), e.codeName(), text.c_str(),
               e.formatSource().c_str());
}

void CProtoThread::onTraffic(uint32_t, uint32_t) {}

bool CProtoThread::onFirstData(const uint8_t*, uint32_t)
{
    return true;
}
