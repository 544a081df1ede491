#include "tools/updserver/AccessPolicy.h"

bool CAccessPolicy::isLoopback(const std::string& bindAddress)
{
    return bindAddress == "localhost" || bindAddress.rfind("127.", 0) == 0;
}

std::string CAccessPolicy::exposureWarning(const std::string& bindAddress) const
{
    if (isLoopback(bindAddress))
        return {};
    if (m_anonymous == ANONYMOUS_CHANGES_ALLOWED)
        return "listening on " + bindAddress +
               " with anonymous changes allowed: anyone who can connect may change the published files and "
               "suspend the server";
    if (!m_haveUsers)
        return "listening on " + bindAddress + " without users: no one can send commands or changes";
    return {};
}
