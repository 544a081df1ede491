// CUpdateClient: signed releases. With a trusted key the client takes no list
// and no file that the release's signed manifest does not vouch for.
#include <ctime>

#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/StreamProto.h"
#include "newupdatesystem/Common/TrustProto.h"
#include "newupdatesystem/client/ClientLock.h"
#include "newupdatesystem/client/ReleaseCheck.h"
#include "newupdatesystem/client/UpdateClient.h"

void CUpdateClient::setTrustKey(const char* publicKeyFile)
{
    CLocked hold(m_lock);
    if (refuseAfterStart("setTrustKey"))
        return;
    m_trustKeyFile = publicKeyFile ? publicKeyFile : "";
}

void CUpdateClient::requireSignedRelease(uint32_t serverVersion)
{
    m_release.reset();
    const bool offered = (serverVersion & SERVER_OFFERS_STREAM) && (serverVersion & SERVER_OFFERS_SIGNED);
    auto check = std::make_shared<CReleaseCheck>(m_trustKeyFile, trustStatePath(),
                                                 m_job == JOB_SELF_UPDATE ? CReleaseCheck::Job::SelfUpdate
                                                                          : CReleaseCheck::Job::Update);
    if (!m_streamWanted)
    {
        logError("Release refused: a trusted key needs the streaming transfer!");
        throw CSystemExcep(Z_CORRUPTED, EK_NONE, 0, "streaming off", EXCEP_HERE());
    }
    if (!offered)
    {
        logError("Release refused: the server offers no signed releases!");
        throw CSystemExcep(Z_CORRUPTED, EK_NONE, 0, "not offered", EXCEP_HERE());
    }
    m_release = std::move(check);
}

void CUpdateClient::acceptRelease()
{
    std::vector<uint8_t> envelope;
    if (auto it = m_streamedLists.find(kSignedReleaseList); it != m_streamedLists.end())
    {
        envelope.swap(it->second);
        m_streamedLists.erase(it);
    }
    m_release->acceptManifest(envelope, static_cast<uint64_t>(std::time(nullptr)));
}
