// CServerSession: the streaming transfer, once the client has asked for it.
#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/StreamProto.h"
#include "tools/updserver/ContentStore.h"
#include "tools/updserver/PackCache.h"
#include "tools/updserver/ServerSession.h"
#include "tools/updserver/StreamSender.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;

void CServerSession::onStreamOpen()
{
    if (kind != TAG_FILE || channel.packetLength() != STRM_SIZE)
        violation("\"Strm\" outside a file session or malformed");
    uint32_t window = std::clamp(word(12), STREAM_MIN_WINDOW, STREAM_MAX_WINDOW);
    uint8_t answer[STRM_SIZE];
    putLe32(answer, PACKET_SIGNATURE);
    putLe32(answer + 4, TAG_STRM);
    putLe32(answer + 8, STREAM_VERSION);
    putLe32(answer + 12, window);
    sendPacket(answer, sizeof answer);
    streaming = true;
    logFileOnly("%s: streaming transfer agreed", peer.c_str());
}

void CServerSession::onStreamGet()
{
    CStreamSender::Request request;
    if (!streaming)
        violation("\"SGet\" before \"Strm\"");
    if (!CStreamSender::parseRequest(channel.packetData(), channel.packetLength(), request))
        violation("malformed \"SGet\"");
    serveStream(request);
    // Requests that came in during the transfer, in order.
    while (!streamQueue.empty()) {
        CStreamSender::Request next = std::move(streamQueue.front());
        streamQueue.pop_front();
        serveStream(next);
    }
}

void CServerSession::serveStream(const CStreamSender::Request& request)
{
    if (!snapshot)
        snapshot = server.store().snapshot();
    fs::path disk;
    if (!server.store().locate(*snapshot, request.name, disk)) {
        logWarning("%s: unknown file '%s' requested", peer.c_str(), request.name.c_str());
        server.metrics().countError(CMetrics::ERR_NOT_FOUND);
        sendMsg(TAG_ACSS);
        return;
    }
    std::error_code ec;
    uint64_t size = fs::file_size(disk, ec);
    std::ifstream file(disk, std::ios::binary);
    if (ec || !file) {
        logWarning("%s: cannot read '%s'", peer.c_str(), request.name.c_str());
        server.metrics().countError(CMetrics::ERR_READ);
        sendMsg(TAG_ACSS);
        return;
    }
    if (request.offset > size || request.length > size - request.offset) {
        logWarning("%s: range beyond the end of '%s' requested", peer.c_str(), request.name.c_str());
        sendMsg(TAG_ACSS);
        return;
    }
    logFileOnly("%s: streaming '%s' from %llu, %llu bytes", peer.c_str(), request.name.c_str(),
                static_cast<unsigned long long>(request.offset), static_cast<unsigned long long>(request.length));
    CStreamSender sender(channel, streamQueue);
    // A small file whole comes from the pack cache, packed once for all.
    std::shared_ptr<const CDataFile> image;
    if (request.offset == 0 && request.length == size && size != 0 && size <= STREAM_SEGMENT_SIZE) {
        try {
            image = server.cache().get(disk);
        } catch (const CExcep&) {
            // Packed per segment instead.
        } catch (const std::exception&) {
        }
        if (image)
            sender.useCachedImage(image->data(), image->size());
    }
    try {
        server.countServed(sender.send(file, size, request));
    } catch (const CProtoExcep& e) {
        if (e.code == PROTO_QUIT) {
            logInfo("%s: client quit during a transfer", peer.c_str());
            throw End{};
        }
        channelFailure(e, "answer that does not fit the streamed transfer, or too many requests");
    } catch (const std::runtime_error& e) {
        logWarning("%s: cannot read '%s': %s", peer.c_str(), request.name.c_str(), e.what());
        server.metrics().countError(CMetrics::ERR_READ);
        throw End{};
    }
}
