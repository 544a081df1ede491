#include "newupdatesystem/Common/ProtoThread.h"

#include <cstring>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Md5.h"
#include "newupdatesystem/Common/Messages.h"

namespace
{

const PacketSites kSites{"CProtoThread::sendPacket", "CProtoThread::recvPacket",
                         "CProtoThread::processDataPacket", "CProtoThread::recvAckMsg",
                         "CProtoThread::sendData"};

} // namespace

CProtoThread::CProtoThread() : CProtoThread(kIoTimeout) {}

CProtoThread::CProtoThread(double ioTimeout)
    : CSocketThread(false, ioTimeout), m_channel(m_link, kSites, ioTimeout)
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

uint32_t CProtoThread::Link::sendSome(const uint8_t* bytes, uint32_t length)
{
    return m_owner.m_tls ? m_owner.tlsSend(bytes, length) : rawSend(bytes, length);
}

uint32_t CProtoThread::Link::receiveSome(uint8_t* buffer, uint32_t capacity)
{
    return m_owner.m_tls ? m_owner.tlsReceive(buffer, capacity) : rawReceive(buffer, capacity);
}

// One readiness wait (the socket's select time-out) per call.
uint32_t CProtoThread::Link::rawSend(const uint8_t* bytes, uint32_t length)
{
    int32_t n = int32_t(length);
    return m_owner.requireSocket("CAsyncTcp::readyToSend").send(bytes, n, 0.0) ? uint32_t(n) : 0;
}

uint32_t CProtoThread::Link::rawReceive(uint8_t* buffer, uint32_t capacity)
{
    int32_t got = int32_t(capacity);
    if (!m_owner.requireSocket("CAsyncTcp::readyToRecv").receiveTimeout(buffer, got, 0.0))
        return 0;
    uint32_t count = uint32_t(got);
    if (m_owner.m_firstData && count != 0)
    {
        m_owner.m_firstData = false;
        if (!m_owner.onFirstData(buffer, count))
        {
            m_owner.getSocket()->detach();
            throw CProtoExcep(PROTO_PLUGIN, EXCEP_SITE("CProtoThread::recvPacket"));
        }
    }
    return count;
}

// The server's refusals and its "Quit" end the exchange wherever they arrive.
void CProtoThread::Link::onPacket(uint32_t tag, uint32_t length)
{
    switch (tag)
    {
    case TAG_QUIT:
        throw CProtoExcep(PROTO_QUIT, EXCEP_SITE("CProtoThread::recvPacket"));
    case TAG_BUSY:
        throw CProtoExcep(PROTO_BUSY, EXCEP_SITE("CProtoThread::recvPacket"));
    case TAG_ACSS:
        throw CProtoExcep(PROTO_ACCESS, EXCEP_SITE("CProtoThread::recvPacket"));
    case TAG_RJTD:
        throw CProtoExcep(PROTO_AUTH, EXCEP_SITE("CProtoThread::recvPacket"));
    default:
        m_owner.onTraffic(0, length);
    }
}

// ---------------------------------------------------------------- sending

void CProtoThread::sendPacket(const void* head, uint32_t headLength, const void* data, uint32_t dataLength)
{
    m_channel.sendPacket(head, headLength, data, dataLength);
}

void CProtoThread::sendMsg(uint32_t tag)
{
    m_channel.sendMsg(0, tag);
}

void CProtoThread::sendInit(uint32_t sessionKind, uint32_t version)
{
    const auto packet = InitRequest{sessionKind, version}.encode();
    sendPacket(packet.data(), packet.size());
}

void CProtoThread::sendText(uint32_t tag, const std::string& text)
{
    m_channel.sendText(tag, text);
}

void CProtoThread::sendModify(uint32_t operation, const std::string& path, uint32_t value)
{
    const WirePacket packet = ModifyMsg{operation, value, path}.encode();
    sendPacket(packet.data(), uint32_t(packet.size()));
}

void CProtoThread::sendData(uint32_t tag, uint32_t subtag, const void* bytes, uint32_t length)
{
    m_channel.sendData(tag, subtag, bytes, length);
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
    m_channel.recvPacket();
    PacketHead head;
    if (words != nullptr && PacketHead::decode(packetData(), packetLength(), head) == WireCheck::OK)
    {
        words[0] = head.signature;
        words[1] = head.tag;
    }
}

bool CProtoThread::recvInit(uint32_t words[4])
{
    PacketHead head;
    InitAnswer answer;
    if (InitAnswer::decode(packetData(), packetLength(), answer) != WireCheck::OK ||
        PacketHead::decode(packetData(), packetLength(), head) != WireCheck::OK)
        return false;
    words[0] = head.signature;
    words[1] = head.tag;
    words[2] = answer.version;
    words[3] = answer.verdict;
    return true;
}

void CProtoThread::processDataPacket(uint32_t& subtag, uint32_t offset, const uint8_t*& content,
                                     uint32_t& length)
{
    m_channel.processDataPacket(subtag, offset, content, length);
}

void CProtoThread::recvFile(uint32_t subtag, CDataFile& buffer, uint32_t reserveSize)
{
    buffer.reserve(reserveSize);
    // The transfer replaces what the buffer held, also when it is empty.
    buffer.clear();
    recvChunks(subtag, [&](const uint8_t* content, uint32_t length, uint32_t offset)
               { buffer.writeAt(content, length, offset); });
}

uint32_t CProtoThread::recvChunks(uint32_t subtag, const CPacketChannel::ChunkSink& sink)
{
    return m_channel.recvChunks(subtag, sink);
}

void CProtoThread::recvChecksum(uint8_t checksum[16])
{
    recvPacket();
    ChecksumAnswer answer;
    if (ChecksumAnswer::decode(packetData(), packetLength(), answer) != WireCheck::OK)
        throw CProtoExcep(PROTO_DATA, EXCEP_HERE());
    std::memcpy(checksum, answer.digest, sizeof answer.digest);
}

bool CProtoThread::recvAckMsg(uint32_t first, uint32_t second)
{
    return m_channel.recvAckMsg(first, second);
}

void CProtoThread::parseTextMsg(uint32_t offset, std::string& text)
{
    if (!m_channel.takeText(offset, text))
        throw CProtoExcep(PROTO_DATA, EXCEP_HERE());
}

void CProtoThread::makeAuthDigest(const char* password, uint8_t digest[16]) const
{
    CMd5 md5;
    md5.update(m_challenge, sizeof m_challenge);
    md5.update(password, std::strlen(password));
    md5.final(digest);
}

void CProtoThread::setChallenge(const uint8_t value[8])
{
    std::memcpy(m_challenge, value, sizeof m_challenge);
}

bool CProtoThread::loadPacket(const void* bytes, uint32_t length)
{
    return m_channel.loadPacket(bytes, length);
}

// ---------------------------------------------------------------- course of work

void CProtoThread::onStart()
{
    bool goOn = false;
    try
    {
        goOn = protoHandshake();
    }
    catch (const CProtoExcep& e)
    {
        onProtoExcep(e);
    }
    catch (const CSocketExcep& e)
    {
        onSocketExcep(e);
    }
    if (!goOn)
        stopRun();
}

bool CProtoThread::step()
{
    try
    {
        return protoProcess();
    }
    catch (const CProtoExcep& e)
    {
        onProtoExcep(e);
        // A broken packet or chunk costs only that exchange.
        return e.code == PROTO_PACKET || e.code == PROTO_DATA;
    }
    catch (const CSocketExcep& e)
    {
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
    logWarning("%s: Socket exception %s: %s, source: %s", getPeerAddress().c_str(), e.codeName(),
               text.c_str(), e.formatSource().c_str());
}

void CProtoThread::onTraffic(uint32_t, uint32_t) {}

bool CProtoThread::onFirstData(const uint8_t*, uint32_t)
{
    return true;
}
