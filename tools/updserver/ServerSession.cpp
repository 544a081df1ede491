#include "tools/updserver/ServerSession.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <system_error>
#include <vector>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/ProtoTags.h"
#include "tools/updserver/ContentStore.h"
#include "tools/updserver/PathGuard.h"
#include "tools/updserver/UpdServer.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace
{
// A chunk answered "Rept" more often than this in a row comes from a peer that
// is not trying; the session ends instead of looping.
constexpr unsigned kMaxRepeats = 32;

std::string tagText(uint32_t t)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((t >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

bool isSubtag(uint32_t s)
{
    return s == SUBTAG_NRMP || s == SUBTAG_SPCP || s == SUBTAG_NORM || s == SUBTAG_SPEC;
}

bool isSpecialSubtag(uint32_t s)
{
    return s == SUBTAG_SPCP || s == SUBTAG_SPEC;
}
} // namespace

CServerSession::CServerSession(CUpdServer& server, int fd, std::string peer, Mode mode)
    : server(server), connection(fd), peer(std::move(peer)), sessionMode(mode),
      decoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE),
      encoder(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE)
{
}

CServerSession::~CServerSession() = default;

void CServerSession::run()
{
    try {
        if (handshake())
            serve();
    } catch (const End&) {
    } catch (const CExcep& e) {
        logWarning("%s: session ended by exception %d at %s", peer.c_str(), e.code, e.formatSource().c_str());
    } catch (const std::exception& e) {
        logWarning("%s: session ended: %s", peer.c_str(), e.what());
    }
    closeGracefully();
}

// Lets the client read our last packet before the connection goes: closing
// with its bytes still unread would reset the connection and could destroy
// what we sent.
void CServerSession::closeGracefully()
{
    connection.finish(1000);
}

// --- packet level -----------------------------------------------------------

void CServerSession::recvPacket()
{
    int timeoutMs = static_cast<int>(server.options().ioTimeoutSeconds * 1000);
    for (;;) {
        if (readPos < fill) {
            int r = decoder.feed(receiveBuffer, fill, readPos);
            if (r == CFrameDecoder::FEED_PACKET) {
                if (decoder.packetLength() >= PACKET_HEAD_SIZE)
                    return;
                logWarning("%s: packet of %u bytes skipped", peer.c_str(), decoder.packetLength());
                continue;
            }
            if (r != CFrameDecoder::FEED_MORE) {
                // The decoder skips to the next frame end by itself.
                logWarning("%s: broken frame skipped", peer.c_str());
                continue;
            }
        }
        readPos = 0;
        size_t got = 0;
        CServerConnection::Result r = connection.receive(receiveBuffer, sizeof receiveBuffer, got, timeoutMs);
        if (r == CServerConnection::IO_TIMEOUT) {
            logWarning("%s: no data for %u seconds, closing", peer.c_str(), server.options().ioTimeoutSeconds);
            throw End{};
        }
        if (r == CServerConnection::IO_CLOSED) {
            fill = 0;
            throw End{};
        }
        fill = static_cast<uint32_t>(got);
    }
}

uint32_t CServerSession::tag() const
{
    return getLe32(decoder.packet() + 4);
}

uint32_t CServerSession::word(uint32_t offset) const
{
    return getLe32(decoder.packet() + offset);
}

void CServerSession::sendPacket(const void* head, uint32_t headLength, const void* data, uint32_t dataLength)
{
    encoder.reset();
    if (!encoder.encode(head, headLength) || (dataLength && !encoder.encode(data, dataLength)) || !encoder.finish())
        throw std::length_error("packet does not fit a frame");
    int timeoutMs = static_cast<int>(server.options().ioTimeoutSeconds * 1000);
    CServerConnection::Result r = connection.sendAll(encoder.data(), encoder.size(), timeoutMs);
    if (r == CServerConnection::IO_TIMEOUT) {
        logWarning("%s: client does not take data, closing", peer.c_str());
        throw End{};
    }
    if (r != CServerConnection::IO_OK)
        throw End{};
}

void CServerSession::sendMsg(uint32_t t)
{
    uint8_t head[8];
    putLe32(head, 0);
    putLe32(head + 4, t);
    sendPacket(head, sizeof head);
}

void CServerSession::violation(const char* what)
{
    logWarning("%s: protocol violation: %s (packet '%s', %u bytes), closing", peer.c_str(), what,
               tagText(tag()).c_str(), decoder.packetLength());
    throw End{};
}

// The NUL-terminated text from offset to the packet's end, with no NUL inside.
bool CServerSession::takeText(uint32_t offset, std::string& text) const
{
    uint32_t length = decoder.packetLength();
    const uint8_t* p = decoder.packet();
    if (offset >= length || p[length - 1] != 0)
        return false;
    const void* nul = std::memchr(p + offset, 0, length - offset);
    if (static_cast<const uint8_t*>(nul) != p + length - 1)
        return false;
    text.assign(reinterpret_cast<const char*>(p + offset), length - offset - 1);
    return true;
}

// --- session ----------------------------------------------------------------

bool CServerSession::handshake()
{
    recvPacket();
    if (decoder.packetLength() != 16 || tag() != TAG_INIT)
        violation("session must open with a 16-byte \"Init\"");
    kind = word(8);
    uint32_t version = word(12);
    if (sessionMode == BUSY_ONLY) {
        logWarning("%s: too many clients, answered busy", peer.c_str());
        sendMsg(TAG_BUSY);
        return false;
    }
    uint8_t answer[16];
    putLe32(answer, PACKET_SIGNATURE);
    putLe32(answer + 4, TAG_INIT);
    putLe32(answer + 8, PROTOCOL_VERSION);
    if (version != PROTOCOL_VERSION || (kind != TAG_FILE && kind != TAG_CTRL)) {
        logWarning("%s: refused session '%s' of version 0x%08x", peer.c_str(), tagText(kind).c_str(), version);
        putLe32(answer + 12, makeTag("Rfsd"));
        sendPacket(answer, sizeof answer);
        return false;
    }
    if (kind == TAG_FILE && server.suspended()) {
        logInfo("%s: file session while suspended, answered busy", peer.c_str());
        sendMsg(TAG_BUSY);
        return false;
    }
    putLe32(answer + 12, TAG_ACPT);
    sendPacket(answer, sizeof answer);

    std::random_device random;
    for (size_t i = 0; i < sizeof challenge; i += 4)
        putLe32(challenge + i, random());
    uint8_t key[16];
    putLe32(key, PACKET_SIGNATURE);
    putLe32(key + 4, TAG_PSWK);
    std::memcpy(key + 8, challenge, sizeof challenge);
    sendPacket(key, sizeof key);
    logInfo("%s: %s session opened", peer.c_str(), kind == TAG_CTRL ? "control" : "file");
    return true;
}

void CServerSession::serve()
{
    for (;;) {
        recvPacket();
        switch (tag()) {
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
            if (server.loginRequired() && !loggedIn) {
                logWarning("%s: modification mode refused without login", peer.c_str());
                sendMsg(TAG_ACSS);
                throw End{};
            }
            modifying = true;
            logInfo("%s: modification mode", peer.c_str());
            sendMsg(TAG_ACKN);
            break;
        case TAG_MDFY:
            onModify();
            break;
        case TAG_QUIT:
            logInfo("%s: session closed by client", peer.c_str());
            return;
        default:
            violation("unexpected packet");
        }
    }
}

void CServerSession::onAuth()
{
    if (decoder.packetLength() != 40)
        violation("\"Auth\" must have 40 bytes");
    const uint8_t* p = decoder.packet();
    if (!server.loginRequired()) {
        // Without accounts every login is as good as none.
        loggedIn = true;
        sendMsg(TAG_ACKN);
        return;
    }
    std::string name;
    if (!server.users().check(p + 8, p + 24, challenge, name)) {
        logWarning("%s: login as '%s' rejected", peer.c_str(), name.c_str());
        sendMsg(TAG_RJTD);
        throw End{};
    }
    loggedIn = true;
    userName = name;
    logInfo("%s: logged in as '%s'", peer.c_str(), name.c_str());
    sendMsg(TAG_ACKN);
}

void CServerSession::onGet()
{
    uint32_t length = decoder.packetLength();
    const uint8_t* p = decoder.packet();
    if (length <= CHUNK_HEADER_SIZE)
        violation("empty \"Get \"");
    uint32_t subtag = word(8), chunk = word(12), offset = word(16), crc = word(20);
    if (!isSubtag(subtag) || chunk != length - CHUNK_HEADER_SIZE || offset != 0 || chunk > GET_REQUEST_LIMIT)
        violation("malformed \"Get \"");
    if (calcCrc32(p + CHUNK_HEADER_SIZE, chunk, 0) != crc)
        violation("\"Get \" with a bad CRC");
    std::string name(reinterpret_cast<const char*>(p + CHUNK_HEADER_SIZE), chunk);
    if (name.find('\0') != std::string::npos)
        violation("NUL inside a requested name");

    std::shared_ptr<const ContentSnapshot> snap = server.store().snapshot();
    if (isSpecialSubtag(subtag)) {
        const PublishedFile* file = CContentStore::special(*snap, name);
        if (!file) {
            logWarning("%s: unknown list '%s' requested", peer.c_str(), name.c_str());
            sendMsg(TAG_ACSS);
            return;
        }
        logFileOnly("%s: sending list '%s'", peer.c_str(), name.c_str());
        sendData(subtag, file->packed.data(), file->packed.size());
        return;
    }
    fs::path disk;
    if (!server.store().locate(*snap, name, disk)) {
        logWarning("%s: unknown file '%s' requested", peer.c_str(), name.c_str());
        sendMsg(TAG_ACSS);
        return;
    }
    std::shared_ptr<const CDataFile> packed;
    try {
        packed = server.cache().get(disk);
    } catch (const CExcep& e) {
        logWarning("%s: cannot pack '%s': exception %d at %s", peer.c_str(), name.c_str(), e.code,
                   e.formatSource().c_str());
    } catch (const std::exception& e) {
        logWarning("%s: cannot read '%s': %s", peer.c_str(), name.c_str(), e.what());
    }
    if (!packed) {
        sendMsg(TAG_ACSS);
        return;
    }
    if (packed->size() > DATA_TRANSFER_LIMIT) {
        // The client would take the transfer only to throw it away at the limit.
        logWarning("%s: '%s' packs to %u bytes, more than a client accepts", peer.c_str(), name.c_str(),
                   packed->size());
        sendMsg(TAG_ACSS);
        return;
    }
    logFileOnly("%s: sending '%s'", peer.c_str(), name.c_str());
    sendData(subtag, packed->data(), packed->size());
    server.countServed(packed->size());
}

// The transfer of one file: chunks each acknowledged before the next.
void CServerSession::sendData(uint32_t subtag, const uint8_t* bytes, uint32_t length)
{
    uint32_t done = 0;
    unsigned repeats = 0;
    while (done < length) {
        uint32_t n = std::min(length - done, CHUNK_MAX_SIZE);
        uint8_t head[CHUNK_HEADER_SIZE];
        putLe32(head, PACKET_SIGNATURE);
        putLe32(head + 4, TAG_DATA);
        putLe32(head + 8, subtag);
        putLe32(head + 12, n);
        putLe32(head + 16, done);
        putLe32(head + 20, calcCrc32(bytes + done, n, 0));
        sendPacket(head, sizeof head, bytes + done, n);
        recvPacket();
        if (tag() == TAG_ACKN) {
            done += n;
            repeats = 0;
        } else if (tag() == TAG_REPT) {
            if (++repeats > kMaxRepeats)
                violation("chunk repeated too often");
        } else if (tag() == TAG_QUIT) {
            logInfo("%s: client quit during a transfer", peer.c_str());
            throw End{};
        } else {
            violation("chunk answered with neither \"Ackn\" nor \"Rept\"");
        }
    }
    sendMsg(TAG_ENDF);
}

void CServerSession::onGetChecksum()
{
    std::string name;
    if (!takeText(8, name))
        violation("malformed \"GetS\"");
    std::shared_ptr<const ContentSnapshot> snap = server.store().snapshot();
    const PublishedFile* file = CContentStore::special(*snap, name);
    if (!file) {
        logWarning("%s: checksum of unknown list '%s' requested", peer.c_str(), name.c_str());
        sendMsg(TAG_ACSS);
        return;
    }
    uint8_t answer[24];
    putLe32(answer, PACKET_SIGNATURE);
    putLe32(answer + 4, TAG_FSUM);
    std::memcpy(answer + 8, file->md5, 16);
    sendPacket(answer, sizeof answer);
}

void CServerSession::onCommand()
{
    std::string text;
    if (!takeText(8, text))
        violation("malformed \"Cmnd\"");
    bool allowed = (kind == TAG_CTRL || modifying) && (!server.loginRequired() || loggedIn);
    if (!allowed) {
        logWarning("%s: command '%s' refused", peer.c_str(), text.c_str());
        sendMsg(TAG_ACSS);
        throw End{};
    }
    logInfo("%s: command '%s'%s%s", peer.c_str(), text.c_str(), userName.empty() ? "" : " by ", userName.c_str());
    std::vector<std::string> lines;
    server.execCommand(text, lines);
    lines.emplace_back(); // the empty echo ends the output
    for (const std::string& line : lines) {
        uint8_t head[8];
        putLe32(head, PACKET_SIGNATURE);
        putLe32(head + 4, makeTag("Echo"));
        // An echo line fits one packet and carries no NUL of its own.
        std::string safe = line.substr(0, FRAME_NOMINAL_SIZE - 16);
        for (char& c : safe)
            if (c == '\0')
                c = ' ';
        sendPacket(head, sizeof head, safe.c_str(), static_cast<uint32_t>(safe.size() + 1));
    }
}

void CServerSession::onModify()
{
    uint32_t length = decoder.packetLength();
    if (length < 18)
        violation("short \"Mdfy\"");
    uint32_t op = word(8), value = word(12);
    std::string path;
    if (!takeText(16, path))
        violation("malformed \"Mdfy\" path");
    if (!modifying) {
        logWarning("%s: change of '%s' outside modification mode", peer.c_str(), path.c_str());
        sendMsg(TAG_ACSS);
        throw End{};
    }
    if (op == TAG_UPLD) {
        // The data follows without waiting for an answer: take it all first.
        CDataFile packed;
        bool ok = receiveUpload(packed) && storeUpload(path, value, packed);
        sendMsg(ok ? TAG_ACKN : TAG_REPT);
        return;
    }
    fs::path disk;
    bool ok = false;
    std::error_code ec;
    if (!server.store().contentGuard().map(path, disk)) {
        logWarning("%s: refused path '%s'", peer.c_str(), path.c_str());
    } else if (op == TAG_DELT) {
        logFileOnly("%s: deleting '%s'", peer.c_str(), path.c_str());
        fs::file_status st = fs::symlink_status(disk, ec);
        if (!fs::exists(st))
            ok = true; // already gone
        else if (!fs::is_directory(st))
            ok = fs::remove(disk, ec);
    } else if (op == TAG_CRDR) {
        // "CrDr" removes a folder, whatever its name suggests.
        logFileOnly("%s: removing folder '%s'", peer.c_str(), path.c_str());
        fs::file_status st = fs::symlink_status(disk, ec);
        if (!fs::exists(st))
            ok = true;
        else if (fs::is_directory(st))
            ok = fs::remove_all(disk, ec) != static_cast<std::uintmax_t>(-1) && !ec;
    } else if (op == TAG_DLDR) {
        // "DlDr" creates a folder.
        logFileOnly("%s: creating folder '%s'", peer.c_str(), path.c_str());
        fs::create_directories(disk, ec);
        ok = !ec && fs::is_directory(fs::symlink_status(disk, ec));
    } else {
        logWarning("%s: unknown change '%s'", peer.c_str(), tagText(op).c_str());
    }
    if (!ok)
        logWarning("%s: change '%s' of '%s' failed%s%s", peer.c_str(), tagText(op).c_str(), path.c_str(),
                   ec ? ": " : "", ec ? ec.message().c_str() : "");
    sendMsg(ok ? TAG_ACKN : TAG_REPT);
}

// Takes the "Data" chunks of an upload up to "EndF", each answered "Ackn" or,
// with a bad CRC, "Rept". False when the transfer itself was unusable.
bool CServerSession::receiveUpload(CDataFile& packed)
{
    uint32_t received = 0;
    uint32_t subtag = 0;
    for (;;) {
        recvPacket();
        if (tag() == TAG_ENDF)
            return received > 0;
        if (tag() != TAG_DATA)
            violation("upload interrupted by another packet");
        uint32_t length = decoder.packetLength();
        if (length <= CHUNK_HEADER_SIZE)
            violation("empty upload chunk");
        uint32_t sub = word(8), chunk = word(12), offset = word(16), crc = word(20);
        if (!isSubtag(sub) || (subtag && sub != subtag) || chunk == 0 || chunk != length - CHUNK_HEADER_SIZE ||
            offset != received)
            violation("malformed upload chunk");
        if (uint64_t(offset) + chunk > DATA_TRANSFER_LIMIT)
            violation("upload beyond the transfer limit");
        subtag = sub;
        const uint8_t* content = decoder.packet() + CHUNK_HEADER_SIZE;
        if (calcCrc32(content, chunk, 0) != crc) {
            sendMsg(TAG_REPT);
            continue;
        }
        packed.writeAt(content, chunk, offset);
        received += chunk;
        sendMsg(TAG_ACKN);
    }
}

// Unpacks an upload and puts it in place under a temporary name first, so a
// client downloading the old file never sees half of the new one.
bool CServerSession::storeUpload(const std::string& path, uint32_t time, const CDataFile& packed)
{
    fs::path disk;
    if (!server.store().contentGuard().map(path, disk)) {
        logWarning("%s: refused upload path '%s'", peer.c_str(), path.c_str());
        return false;
    }
    logFileOnly("%s: storing '%s'", peer.c_str(), path.c_str());
    fs::path temp = disk.parent_path() / (".upload-" + disk.filename().string() + ".tmp");
    try {
        CDataFile plain;
        plain.unpackFrom(packed.data(), packed.size());
        std::error_code ec;
        fs::create_directories(disk.parent_path(), ec);
        if (fs::is_directory(fs::symlink_status(disk, ec))) {
            logWarning("%s: upload '%s' would replace a folder", peer.c_str(), path.c_str());
            return false;
        }
        plain.saveToFile(temp.string().c_str());
        if (platform::setFileTime(temp.string().c_str(), int64_t(time)) != 0)
            logWarning("%s: cannot set the time of '%s'", peer.c_str(), path.c_str());
        fs::rename(temp, disk);
        return true;
    } catch (const CExcep& e) {
        logWarning("%s: upload '%s' failed: exception %d at %s", peer.c_str(), path.c_str(), e.code,
                   e.formatSource().c_str());
    } catch (const std::exception& e) {
        logWarning("%s: upload '%s' failed: %s", peer.c_str(), path.c_str(), e.what());
    }
    std::error_code ignored;
    fs::remove(temp, ignored);
    return false;
}
