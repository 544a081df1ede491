#include "tools/updserver/ServerSession.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <system_error>
#include <vector>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/Messages.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "newupdatesystem/Common/StreamProto.h"
#include "newupdatesystem/Common/TlsMessages.h"
#include "newupdatesystem/Common/TrustProto.h"
#include "platform/Files.h"
#include "tools/updserver/ContentStore.h"
#include "tools/updserver/PathGuard.h"
#include "tools/updserver/TlsTransport.h"
#include "tools/updserver/UpdServer.h"
#include "tools/updserver/UploadStore.h"

namespace fs = std::filesystem;

namespace
{
const PacketSites kSites{"CServerSession::sendPacket", "CServerSession::recvPacket",
                         "CServerSession::processDataPacket", "CServerSession::recvAckMsg",
                         "CServerSession::sendData"};

// The longest single wait on the socket; the channel's deadlines are checked
// between waits.
constexpr int kSliceMs = 500;

// The longest echo line sent, well inside one packet with its head and NUL.
constexpr size_t kEchoLineLimit = FRAME_NOMINAL_SIZE - 16;

std::string tagText(uint32_t t)
{
    std::string s;
    for (int i = 0; i < 4; ++i)
    {
        char c = static_cast<char>((t >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

bool isSpecialSubtag(uint32_t s)
{
    return s == SUBTAG_SPCP || s == SUBTAG_SPEC;
}

// A client's text made safe for one log line.
std::string printable(const std::string& text)
{
    std::string s = text;
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return s;
}
} // namespace

namespace
{
class SocketTransport : public ISessionTransport
{
public:
    explicit SocketTransport(int fd) : m_socket(fd) {}
    platform::CServerConnection::Result receive(void* buffer, size_t size, size_t& got,
                                                int timeoutMs) override
    {
        return m_socket.receive(buffer, size, got, timeoutMs);
    }
    platform::CServerConnection::Result sendSome(const void* bytes, size_t size, size_t& sent,
                                                 int timeoutMs) override
    {
        return m_socket.sendSome(bytes, size, sent, timeoutMs);
    }
    void shutdownBoth() override { m_socket.shutdownBoth(); }
    void finish(int timeoutMs) override { m_socket.finish(timeoutMs); }

private:
    platform::CServerConnection m_socket;
};
} // namespace

CServerSession::CServerSession(CUpdServer& server, int fd, std::string peer, Mode mode)
    : CServerSession(server, withTls(server, std::make_unique<SocketTransport>(fd)), std::move(peer), mode)
{
}

CServerSession::CServerSession(CUpdServer& server, std::unique_ptr<ISessionTransport> transport,
                               std::string peer, Mode mode)
    : m_server(server), m_connection(std::move(transport)), m_peer(std::move(peer)), m_sessionMode(mode),
      m_channel(m_link, kSites, server.options().ioTimeoutSeconds)
{
    m_tls = dynamic_cast<CTlsTransport*>(m_connection.get());
}

CServerSession::~CServerSession() = default;

void CServerSession::run()
{
    try
    {
        if (handshake())
            serve();
    }
    catch (const End&)
    {
    }
    catch (const CExcep& e)
    {
        logWarning("%s: session ended by exception %d at %s", m_peer.c_str(), e.code,
                   e.formatSource().c_str());
        m_server.metrics().countError(CMetrics::ERR_SESSION);
    }
    catch (const std::exception& e)
    {
        logWarning("%s: session ended: %s", m_peer.c_str(), e.what());
        m_server.metrics().countError(CMetrics::ERR_SESSION);
    }
    closeGracefully();
}

// Lets the client read our last packet before the connection goes: closing
// with its bytes still unread would reset the connection and could destroy
// what we sent.
void CServerSession::closeGracefully()
{
    m_connection->finish(1000);
}

// --- packet level -----------------------------------------------------------

uint32_t CServerSession::Link::sendSome(const uint8_t* bytes, uint32_t length)
{
    size_t sent = 0;
    if (m_session.m_connection->sendSome(bytes, length, sent, kSliceMs) ==
        platform::CServerConnection::IO_CLOSED)
        throw End{};
    return static_cast<uint32_t>(sent);
}

uint32_t CServerSession::Link::receiveSome(uint8_t* buffer, uint32_t capacity)
{
    size_t got = 0;
    platform::CServerConnection::Result r = m_session.m_connection->receive(buffer, capacity, got, kSliceMs);
    if (r == platform::CServerConnection::IO_CLOSED)
        throw End{};
    return r == platform::CServerConnection::IO_OK ? static_cast<uint32_t>(got) : 0;
}

bool CServerSession::Link::skipBrokenPacket(uint32_t length)
{
    // The decoder skips to the next frame end by itself.
    if (length == 0)
        logWarning("%s: broken frame skipped", m_session.m_peer.c_str());
    else
        logWarning("%s: packet of %u bytes skipped", m_session.m_peer.c_str(), length);
    return true;
}

// Progress is what the client proves it took: the bytes of "Data" chunks it
// acknowledged, and the chunks of its uploads.
void CServerSession::Link::onSent(uint32_t bytes)
{
    if (m_streaming)
        m_session.m_progress.add(bytes);
    else
        m_unconfirmed += bytes;
}

void CServerSession::Link::onPacket(uint32_t tag, uint32_t length)
{
    if (tag == TAG_ACKN)
    {
        m_session.m_progress.add(m_unconfirmed);
        m_unconfirmed = 0;
    }
    else if (tag == TAG_DATA)
    {
        m_session.m_progress.add(length);
    }
}

void CServerSession::recvPacket()
{
    try
    {
        m_channel.recvPacket();
    }
    catch (const CProtoExcep& e)
    {
        channelFailure(e, "broken packet");
    }
}

uint32_t CServerSession::tag() const
{
    return m_channel.packetTag();
}

void CServerSession::sendPacket(const void* head, uint32_t headLength, const void* data, uint32_t dataLength)
{
    try
    {
        m_channel.sendPacket(head, headLength, data, dataLength);
    }
    catch (const CProtoExcep& e)
    {
        channelFailure(e, "unsendable packet");
    }
}

void CServerSession::channelFailure(const CProtoExcep& e, const char* what)
{
    bool sending = std::strcmp(e.function, kSites.sendPacket) == 0;
    if (e.code == PROTO_PACKET && sending)
        throw std::length_error("packet does not fit a frame");
    if (e.code == PROTO_TIMEOUT && sending)
    {
        logWarning("%s: client does not take data, closing", m_peer.c_str());
        m_server.metrics().countError(CMetrics::ERR_TIMEOUT);
        throw End{};
    }
    if (e.code == PROTO_TIMEOUT)
    {
        logWarning("%s: no complete packet for %u seconds, closing", m_peer.c_str(),
                   m_server.options().ioTimeoutSeconds);
        m_server.metrics().countError(CMetrics::ERR_TIMEOUT);
        throw End{};
    }
    violation(what);
}

void CServerSession::sendMsg(uint32_t t)
{
    const auto head = PacketHead{0, t}.encode();
    sendPacket(head.data(), head.size());
}

void CServerSession::violation(const char* what)
{
    logWarning("%s: protocol violation: %s (packet '%s', %u bytes), closing", m_peer.c_str(), what,
               tagText(tag()).c_str(), m_channel.packetLength());
    m_server.metrics().countError(CMetrics::ERR_PROTOCOL);
    throw End{};
}

// The NUL-terminated text from offset to the packet's end, with no NUL inside.
bool CServerSession::takeText(uint32_t offset, std::string& text) const
{
    return m_channel.takeText(offset, text);
}

// --- session ----------------------------------------------------------------

bool CServerSession::handshake()
{
    if (m_sessionMode == BUSY_ONLY)
    {
        // Answered at once: a full server must not wait for a client that may
        // never speak. The client reads it as the answer to its "Init".
        logWarning("%s: too many clients, answered busy", m_peer.c_str());
        sendMsg(TAG_BUSY);
        return false;
    }
    recvPacket();
    InitRequest init;
    if (InitRequest::decode(m_channel.packetData(), m_channel.packetLength(), init) != WireCheck::OK)
        violation("session must open with a 16-byte \"Init\"");
    m_kind = init.kind;
    uint32_t version = init.version;
    InitAnswer answer{PROTOCOL_VERSION, TAG_ACPT};
    if (version != PROTOCOL_VERSION || (m_kind != TAG_FILE && m_kind != TAG_CTRL))
    {
        logWarning("%s: refused session '%s' of version 0x%08x", m_peer.c_str(), tagText(m_kind).c_str(),
                   version);
        answer.verdict = TAG_RFSD;
        const auto refusal = answer.encode();
        sendPacket(refusal.data(), refusal.size());
        return false;
    }
    if (m_kind == TAG_FILE && m_server.suspended())
    {
        logInfo("%s: file session while suspended, answered busy", m_peer.c_str());
        sendMsg(TAG_BUSY);
        return false;
    }
    // The offer of the streaming transfer rides in the version word, which a
    // base client only logs.
    if (m_kind == TAG_FILE)
        answer.version = PROTOCOL_VERSION | SERVER_OFFERS_STREAM | SERVER_OFFERS_CHUNK_INDEX;
    if (m_tls != nullptr)
        answer.version |= SERVER_OFFERS_TLS;
    if (m_kind == TAG_FILE && m_server.store().hasSignedRelease())
        answer.version |= SERVER_OFFERS_SIGNED;
    const auto accepted = answer.encode();
    sendPacket(accepted.data(), accepted.size());

    sendChallenge();
    logInfo("%s: %s session opened", m_peer.c_str(), m_kind == TAG_CTRL ? "control" : "file");
    return true;
}

// A fresh challenge for the login digest, as "PswK".
void CServerSession::sendChallenge()
{
    std::random_device random;
    for (size_t i = 0; i < sizeof m_challenge; i += sizeof(uint32_t))
    {
        const uint32_t r = random();
        std::memcpy(m_challenge + i, &r, sizeof r);
    }
    ChallengeMsg key;
    std::memcpy(key.challenge, m_challenge, sizeof m_challenge);
    const auto keyPacket = key.encode();
    sendPacket(keyPacket.data(), keyPacket.size());
}

void CServerSession::serve()
{
    for (;;)
    {
        recvPacket();
        if (m_tls != nullptr && tlsGate())
            continue;
        m_isOpened = true;
        switch (tag())
        {
        case TAG_AUTH:
            onAuth();
            break;
        case TAG_GET:
            onGet();
            break;
        case TAG_GETS:
            onGetChecksum();
            break;
        case TAG_CMND:
            onCommand();
            break;
        case TAG_CMDM:
            if (!m_server.access().mayChange(m_loggedIn))
            {
                logWarning("%s: modification mode refused without login", m_peer.c_str());
                sendMsg(TAG_ACSS);
                throw End{};
            }
            m_modifying = true;
            logInfo("%s: modification mode", m_peer.c_str());
            sendMsg(TAG_ACKN);
            break;
        case TAG_MDFY:
            onModify();
            break;
        case TAG_STRM:
            onStreamOpen();
            break;
        case TAG_SGET:
        case TAG_SLST:
        case TAG_SIDX:
            onStreamGet();
            break;
        case TAG_QUIT:
            logInfo("%s: session closed by client", m_peer.c_str());
            return;
        default:
            violation("unexpected packet");
        }
    }
}

void CServerSession::onAuth()
{
    AuthMsg auth;
    if (AuthMsg::decode(m_channel.packetData(), m_channel.packetLength(), auth) != WireCheck::OK)
        violation("\"Auth\" must have 40 bytes");
    if (!m_server.loginRequired())
    {
        // Without accounts a login is as good as none: the client may go on
        // reading, but it gains no right to change anything.
        sendMsg(TAG_ACKN);
        return;
    }
    CAddressTable& addresses = m_server.addresses();
    std::string address = CAddressTable::addressOf(m_peer);
    auto now = CAddressTable::Clock::now();
    std::chrono::seconds wait = addresses.loginWait(address, now);
    if (wait.count() > 0)
    {
        // Not even checked: a guess made while the address waits tells nothing.
        logWarning("%s: login refused, %lld more seconds to wait after failed logins", m_peer.c_str(),
                   static_cast<long long>(wait.count()));
        sendMsg(TAG_RJTD);
        throw End{};
    }
    std::string name;
    if (!m_server.users().check(auth.name, auth.digest, m_challenge, name))
    {
        logWarning("%s: login as '%s' rejected", m_peer.c_str(), printable(name).c_str());
        m_server.metrics().countError(CMetrics::ERR_LOGIN);
        wait = addresses.loginFailed(address, now);
        if (wait.count() > 0)
            logWarning("%s: too many failed logins, the next is checked in %lld seconds", m_peer.c_str(),
                       static_cast<long long>(wait.count()));
        sendMsg(TAG_RJTD);
        throw End{};
    }
    addresses.loginSucceeded(address);
    m_loggedIn = true;
    m_isTrusted = true;
    m_userName = name;
    logInfo("%s: logged in as '%s'", m_peer.c_str(), name.c_str());
    sendMsg(TAG_ACKN);
}

void CServerSession::onGet()
{
    uint32_t subtag = 0;
    const uint8_t* content = nullptr;
    uint32_t chunk = 0;
    try
    {
        m_channel.processDataPacket(subtag, 0, content, chunk);
    }
    catch (const CProtoExcep& e)
    {
        channelFailure(e, "malformed \"Get \"");
    }
    std::string name(reinterpret_cast<const char*>(content), chunk);
    if (name.find('\0') != std::string::npos)
        violation("NUL inside a requested name");

    // The session keeps the release it first asked about, so a client that
    // holds that release's list gets that release's files to the end.
    if (!m_snapshot)
        m_snapshot = m_server.store().snapshot();
    const std::shared_ptr<const ContentSnapshot>& snap = m_snapshot;
    if (isSpecialSubtag(subtag))
    {
        const PublishedFile* file = CContentStore::special(*snap, name, m_streaming);
        if (!file)
        {
            logWarning("%s: unknown list '%s' requested", m_peer.c_str(), name.c_str());
            sendMsg(TAG_ACSS);
            return;
        }
        logFileOnly("%s: sending list '%s'", m_peer.c_str(), name.c_str());
        sendData(subtag, file->packed.data(), file->packed.size());
        return;
    }
    fs::path disk;
    if (!m_server.store().locate(*snap, name, disk))
    {
        logWarning("%s: unknown file '%s' requested", m_peer.c_str(), name.c_str());
        m_server.metrics().countError(CMetrics::ERR_NOT_FOUND);
        sendMsg(TAG_ACSS);
        return;
    }
    std::shared_ptr<const CDataFile> packed;
    try
    {
        packed = m_server.cache().get(disk);
    }
    catch (const CExcep& e)
    {
        logWarning("%s: cannot pack '%s': exception %d at %s", m_peer.c_str(), name.c_str(), e.code,
                   e.formatSource().c_str());
    }
    catch (const std::exception& e)
    {
        logWarning("%s: cannot read '%s': %s", m_peer.c_str(), name.c_str(), e.what());
    }
    if (!packed)
    {
        m_server.metrics().countError(CMetrics::ERR_READ);
        sendMsg(TAG_ACSS);
        return;
    }
    if (packed->size() > DATA_TRANSFER_LIMIT)
    {
        // The client would take the transfer only to throw it away at the limit.
        logWarning("%s: '%s' packs to %u bytes, more than a client accepts", m_peer.c_str(), name.c_str(),
                   packed->size());
        sendMsg(TAG_ACSS);
        return;
    }
    logFileOnly("%s: sending '%s'", m_peer.c_str(), name.c_str());
    sendData(subtag, packed->data(), packed->size());
    m_server.countServed(packed->size());
}

// The transfer of one file: chunks each acknowledged before the next.
void CServerSession::sendData(uint32_t subtag, const uint8_t* bytes, uint32_t length)
{
    m_link.m_unconfirmed = 0;
    try
    {
        m_channel.sendData(TAG_DATA, subtag, bytes, length);
    }
    catch (const CProtoExcep& e)
    {
        if (e.code == PROTO_PROTO && tag() == TAG_QUIT)
        {
            logInfo("%s: client quit during a transfer", m_peer.c_str());
            throw End{};
        }
        channelFailure(e, std::strcmp(e.function, kSites.sendData) == 0
                              ? "chunk repeated too often"
                              : "chunk answered with neither \"Ackn\" nor \"Rept\"");
    }
}

void CServerSession::onGetChecksum()
{
    ChecksumRequest request;
    if (ChecksumRequest::decode(m_channel.packetData(), m_channel.packetLength(), request) != WireCheck::OK)
        violation("malformed \"GetS\"");
    const std::string& name = request.text;
    if (!m_snapshot)
        m_snapshot = m_server.store().snapshot();
    const std::shared_ptr<const ContentSnapshot>& snap = m_snapshot;
    const PublishedFile* file = CContentStore::special(*snap, name, m_streaming);
    if (!file)
    {
        logWarning("%s: checksum of unknown list '%s' requested", m_peer.c_str(), name.c_str());
        sendMsg(TAG_ACSS);
        return;
    }
    ChecksumAnswer answer;
    std::memcpy(answer.digest, file->md5, sizeof answer.digest);
    const auto packet = answer.encode();
    sendPacket(packet.data(), packet.size());
}

void CServerSession::onCommand()
{
    CommandMsg command;
    if (CommandMsg::decode(m_channel.packetData(), m_channel.packetLength(), command) != WireCheck::OK)
        violation("malformed \"Cmnd\"");
    const std::string& text = command.text;
    bool allowed = (m_kind == TAG_CTRL || m_modifying) && m_server.access().mayChange(m_loggedIn);
    if (!allowed)
    {
        logWarning("%s: command '%s' refused", m_peer.c_str(), text.c_str());
        sendMsg(TAG_ACSS);
        throw End{};
    }
    logInfo("%s: command '%s'%s%s", m_peer.c_str(), text.c_str(), m_userName.empty() ? "" : " by ",
            m_userName.c_str());
    m_progress.mark();
    std::vector<std::string> lines;
    m_server.execCommand(text, lines);
    lines.emplace_back(); // the empty echo ends the output
    for (const std::string& line : lines)
    {
        // An echo line fits one packet and carries no NUL of its own.
        EchoMsg echo{line.substr(0, kEchoLineLimit)};
        for (char& c : echo.text)
            if (c == '\0')
                c = ' ';
        const WirePacket packet = echo.encode();
        sendPacket(packet.data(), static_cast<uint32_t>(packet.size()));
    }
}

void CServerSession::onModify()
{
    ModifyMsg change;
    WireCheck check = ModifyMsg::decode(m_channel.packetData(), m_channel.packetLength(), change);
    if (check == WireCheck::LENGTH)
        violation("short \"Mdfy\"");
    if (check != WireCheck::OK)
        violation("malformed \"Mdfy\" path");
    const uint32_t op = change.operation, value = change.value;
    const std::string& path = change.path;
    if (!m_modifying)
    {
        logWarning("%s: change of '%s' outside modification mode", m_peer.c_str(), path.c_str());
        sendMsg(TAG_ACSS);
        throw End{};
    }
    if (op == TAG_UPLD)
    {
        bool ok = storeUpload(path, value);
        sendMsg(ok ? TAG_ACKN : TAG_REPT);
        return;
    }
    fs::path disk;
    bool ok = false;
    std::error_code ec;
    if (!m_server.store().contentGuard().map(path, disk))
    {
        logWarning("%s: refused path '%s'", m_peer.c_str(), path.c_str());
    }
    else if (op == TAG_DELT)
    {
        logFileOnly("%s: deleting '%s'", m_peer.c_str(), path.c_str());
        fs::file_status st = fs::symlink_status(disk, ec);
        if (!fs::exists(st))
            ok = true; // already gone
        else if (!fs::is_directory(st))
            ok = fs::remove(disk, ec);
    }
    else if (op == TAG_CRDR)
    {
        // "CrDr" removes a folder, whatever its name suggests.
        logFileOnly("%s: removing folder '%s'", m_peer.c_str(), path.c_str());
        fs::file_status st = fs::symlink_status(disk, ec);
        if (!fs::exists(st))
            ok = true;
        else if (fs::is_directory(st))
            ok = fs::remove_all(disk, ec) != static_cast<std::uintmax_t>(-1) && !ec;
    }
    else if (op == TAG_DLDR)
    {
        // "DlDr" creates a folder.
        logFileOnly("%s: creating folder '%s'", m_peer.c_str(), path.c_str());
        fs::create_directories(disk, ec);
        ok = !ec && fs::is_directory(fs::symlink_status(disk, ec));
    }
    else
    {
        logWarning("%s: unknown change '%s'", m_peer.c_str(), tagText(op).c_str());
    }
    if (!ok)
        logWarning("%s: change '%s' of '%s' failed%s%s", m_peer.c_str(), tagText(op).c_str(), path.c_str(),
                   ec ? ": " : "", ec ? ec.message().c_str() : "");
    sendMsg(ok ? TAG_ACKN : TAG_REPT);
}

// Takes the "Data" chunks of an upload up to "EndF", each answered "Ackn" or,
// with a bad CRC, "Rept", and hands the good ones to the store (none: they are
// read and dropped). False when the transfer itself was unusable.
bool CServerSession::receiveUpload(CUploadStore* store)
{
    uint32_t subtag = 0;
    uint32_t received = 0;
    try
    {
        // Chunks come in order, so the store may simply append them.
        received = m_channel.recvChunks(subtag,
                                        [&](const uint8_t* content, uint32_t length, uint32_t)
                                        {
                                            if (store)
                                                store->append(content, length);
                                        });
    }
    catch (const CProtoExcep& e)
    {
        channelFailure(e, tag() != TAG_DATA           ? "upload interrupted by another packet"
                          : e.code == PROTO_TOO_LARGE ? "upload beyond the transfer limit"
                                                      : "malformed upload chunk");
    }
    return received > 0;
}

// Streams an upload into a temporary file of its own beside the target and
// renames it into place once complete, so a client downloading the old file
// never sees half of the new one. The data follows the request without
// waiting for an answer, so it is read to its end even when refused.
bool CServerSession::storeUpload(const std::string& path, uint32_t time)
{
    fs::path disk;
    std::unique_ptr<CUploadStore> store;
    if (!m_server.store().contentGuard().map(path, disk))
    {
        logWarning("%s: refused upload path '%s'", m_peer.c_str(), path.c_str());
    }
    else
    {
        logFileOnly("%s: storing '%s'", m_peer.c_str(), path.c_str());
        store = std::make_unique<CUploadStore>(disk, m_server.options().maxUploadBytes);
        if (!store->open())
            logWarning("%s: upload '%s' failed: %s", m_peer.c_str(), path.c_str(), store->failure().c_str());
    }
    if (!receiveUpload(store.get()) || !store)
        return false;
    if (!store->commit(time))
    {
        logWarning("%s: upload '%s' failed: %s", m_peer.c_str(), path.c_str(), store->failure().c_str());
        return false;
    }
    if (!store->failure().empty())
        logWarning("%s: upload '%s' stored, but %s", m_peer.c_str(), path.c_str(), store->failure().c_str());
    return true;
}

std::string CServerSession::releaseName() const
{
    return m_snapshot ? m_snapshot->release : std::string();
}
