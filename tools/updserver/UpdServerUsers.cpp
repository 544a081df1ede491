// CUpdServer: the accounts read again on SIGHUP.
#include <exception>

#include "newupdatesystem/Common/Log.h"
#include "tools/updserver/UpdServer.h"

void CUpdServer::reloadUsers()
{
    if (m_opts.usersFile.empty())
        return;
    try
    {
        m_accounts.loadFromFile(m_opts.usersFile.string(), false);
        logInfo("Users reloaded: %zu accounts from '%s'", m_accounts.size(),
                m_opts.usersFile.string().c_str());
    }
    catch (const std::exception& e)
    {
        logError("Reloading the users failed: %s; the previous accounts stay", e.what());
        m_counters.countError(CMetrics::ERR_RELOAD);
    }
}
