// CServerSession: a file's chunk index for "SIdx", in the streaming transfer.
#include <sstream>
#include <stdexcept>

#include "newupdatesystem/Common/Log.h"
#include "tools/updserver/ContentStore.h"
#include "tools/updserver/PackCache.h"
#include "tools/updserver/ServerSession.h"
#include "tools/updserver/UpdServer.h"

namespace fs = std::filesystem;

// Refused ("Acss") for an unknown file and for one that gets no index: the
// client then takes the file whole.
bool CServerSession::openIndex(const CStreamSender::Request& request, CStreamSender::Source& source)
{
    fs::path disk;
    FileInfo info;
    if (!m_server.store().locate(*m_snapshot, request.name, disk, &info))
    {
        logWarning("%s: index of unknown file '%s' requested", m_peer.c_str(), request.name.c_str());
        m_server.metrics().countError(CMetrics::ERR_NOT_FOUND);
        return false;
    }
    CChunkIndexStore::Bytes index;
    try
    {
        index = m_server.chunkIndexes().get(disk, info, m_server.cache().store());
    }
    catch (const std::runtime_error& e)
    {
        logWarning("%s: cannot index '%s': %s", m_peer.c_str(), request.name.c_str(), e.what());
        m_server.metrics().countError(CMetrics::ERR_READ);
        return false;
    }
    if (!index)
    {
        logFileOnly("%s: no index for '%s'", m_peer.c_str(), request.name.c_str());
        return false;
    }
    source.size = index->size();
    source.file = std::make_unique<std::istringstream>(
        std::string(reinterpret_cast<const char*>(index->data()), index->size()));
    logFileOnly("%s: index of '%s', %llu bytes", m_peer.c_str(), request.name.c_str(),
                static_cast<unsigned long long>(index->size()));
    return true;
}
