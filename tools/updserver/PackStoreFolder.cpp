// CPackStore: the folder as all servers sharing it see it, and the check of
// an entry against its key.
#include <algorithm>
#include <cstring>
#include <vector>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Md5.h"
#include "tools/updserver/PackStore.h"

namespace fs = std::filesystem;

namespace
{
bool isEntryName(const std::string& name)
{
    const std::string suffix = ".zpk";
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}
} // namespace

void CPackStore::rescan()
{
    m_scanned = std::chrono::steady_clock::now();
    std::vector<std::pair<fs::file_time_type, std::pair<std::string, uint64_t>>> found;
    std::error_code ec;
    for (fs::directory_iterator it(m_dir, ec), end; !ec && it != end; it.increment(ec))
    {
        std::string name = it->path().filename().string();
        std::error_code bad;
        // A link is never an entry: reading it would read wherever it points.
        if (!isEntryName(name) || !fs::is_regular_file(it->symlink_status(bad)))
            continue;
        uint64_t size = it->file_size(bad);
        fs::file_time_type time = it->last_write_time(bad);
        if (!bad)
            found.push_back({time, {name, size}});
    }
    if (ec)
        return; // the stock taken before stays
    m_entries.clear();
    m_recent.clear();
    m_counters.bytes = 0;
    m_counters.files = 0;
    // Oldest first, so that the newest ends at the front of the recency list.
    std::sort(found.begin(), found.end());
    for (const auto& f : found)
        admit(f.second.first, f.second.second);
    std::set<std::string> still;
    for (const std::string& name : m_verified)
        if (m_entries.count(name))
            still.insert(name);
    m_verified.swap(still);
}

// Once per entry and process: a packed file that does not unpack to what its
// key names was planted or damaged, and must not be served.
bool CPackStore::verified(const std::string& name, const uint8_t md5[16], const CDataFile& packed,
                          const Check& check)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_verified.count(name))
            return true;
    }
    bool good = false;
    if (check)
    {
        good = check(packed);
    }
    else
    {
        try
        {
            CDataFile plain;
            plain.unpackFrom(packed.data(), packed.size());
            uint8_t digest[16];
            CMd5::digest(plain.data(), plain.size(), digest);
            good = std::memcmp(digest, md5, 16) == 0;
        }
        catch (const CExcep&)
        {
            good = false;
        }
    }
    if (good)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_entries.count(name))
            m_verified.insert(name);
    }
    return good;
}
