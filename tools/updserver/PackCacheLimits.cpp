// CPackCache: files that cannot be served whole are refused before anything
// is read, and a refusal found by packing is remembered, so a client asking
// again costs nothing.
#include "tools/updserver/PackCache.h"

#include "platform/Files.h"

namespace
{
// Refusals remembered at most; beyond, the oldest keys in order go first.
constexpr size_t kMaxRefusals = 4096;
} // namespace

std::string CPackCache::refusalOf(const std::filesystem::path& file, const std::string& key)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto it = m_refused.find(key);
        if (it != m_refused.end())
            return it->second;
    }
    platform::FileStatus st;
    if (platform::fileStatus(file.string().c_str(), st) && st.size > m_opts.maxUnpacked)
        return "'" + file.string() + "' has " + std::to_string(st.size) +
               " bytes, more than can be packed whole";
    return std::string();
}

void CPackCache::refuse(const std::string& key, const std::string& why)
{
    if (m_refused.size() >= kMaxRefusals)
        m_refused.erase(m_refused.begin());
    m_refused[key] = why;
}
