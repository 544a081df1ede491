// CUpdateClient: the streaming transfer, used where the server offers it.
#include <cstring>

#include "newupdatesystem/Common/FileReplacer.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/StreamProto.h"
#include "newupdatesystem/Common/StreamReceiver.h"
#include "newupdatesystem/client/ClientLock.h"
#include "newupdatesystem/client/UpdateClient.h"

void CUpdateClient::setStreaming(bool enabled)
{
    CLocked hold(lock);
    if (refuseAfterStart("setStreaming"))
        return;
    streamWanted = enabled;
}

void CUpdateClient::negotiateStream(uint32_t serverVersion)
{
    // Only asked where offered: a base server never sees the request.
    streamAgreed = false;
    if (!streamWanted || !command.empty() || (serverVersion & SERVER_OFFERS_STREAM) == 0)
        return;
    uint8_t request[STRM_SIZE];
    putLe32(request, PACKET_SIGNATURE);
    putLe32(request + 4, TAG_STRM);
    putLe32(request + 8, STREAM_VERSION);
    putLe32(request + 12, STREAM_DEFAULT_WINDOW);
    sendPacket(request, sizeof request);
    recvPacket();
    if (packetTag() != TAG_STRM || packetLength() != STRM_SIZE || getLe32(packetData() + 8) != STREAM_VERSION)
        throw CProtoExcep(PROTO_PROTO, EXCEP_HERE());
    streamWindow = getLe32(packetData() + 12);
    streamAgreed = true;
    logInfo("Streaming transfer agreed, window %u kb", streamWindow >> 10);
}

void CUpdateClient::streamDownload(const std::string& path, const FileChange& item)
{
    emitEvent(UPD_EVENT_FILE_REQUEST, item.path);
    CFileReplacer file(path.c_str());
    CStreamReceiver receiver(packetChannel(), streamWindow);
    receiver.receive(item.path, 0, item.info.size, [&](const uint8_t* bytes, size_t length, uint64_t) {
        file.write(bytes, static_cast<uint32_t>(length));
    });
    if (receiver.repeatedSegments() != 0)
        logWarning("'%s': %u damaged segments received again", item.path, receiver.repeatedSegments());
    emitEvent(UPD_EVENT_FILE_RECEIVED, item.path);
    commitDownload(file, item);
}
