#include "tools/updserver/PackCache.h"

#include "platform/Files.h"

#include <cerrno>
#include <system_error>

namespace fs = std::filesystem;

namespace
{
// Size and modification time in nanoseconds; stat directly, so a file
// rewritten within one second with the same size is still told apart.
std::string makeKey(const fs::path& file)
{
    platform::FileStatus st;
    if (!platform::fileStatus(file.string().c_str(), st))
        throw fs::filesystem_error("stat", file, std::error_code(errno, std::generic_category()));
    if (st.kind != platform::FileKind::Regular)
        throw fs::filesystem_error("not a file", file, std::make_error_code(std::errc::invalid_argument));
    return file.string() + '\n' + std::to_string(st.size) + '\n' + std::to_string(st.time) + '.' +
           std::to_string(st.timeNanos);
}
} // namespace

CPackCache::CPackCache(uint64_t budget) : budget(budget) {}

std::shared_ptr<const CDataFile> CPackCache::get(const fs::path& file)
{
    std::string key = makeKey(file);
    std::shared_ptr<Slot> slot;
    {
        std::lock_guard<std::mutex> hold(lock);
        auto it = slots.find(key);
        if (it == slots.end()) {
            slot = std::make_shared<Slot>();
            slots.emplace(key, slot);
            recent.push_front(key);
            slot->lru = recent.begin();
        } else {
            slot = it->second;
            recent.splice(recent.begin(), recent, slot->lru);
        }
    }

    std::lock_guard<std::mutex> packing(slot->packing);
    if (slot->data) {
        std::lock_guard<std::mutex> hold(lock);
        ++counters.hits;
        return slot->data;
    }
    try {
        CDataFile raw;
        raw.loadFromFile(file.string().c_str());
        auto packed = std::make_shared<CDataFile>();
        packed->packFrom(raw);
        // A file that changed while it was read must not be kept under the old key.
        if (makeKey(file) == key)
            slot->data = packed;
        {
            std::lock_guard<std::mutex> hold(lock);
            ++counters.packs;
        }
        account(key, slot);
        return packed;
    } catch (...) {
        account(key, slot);
        throw;
    }
}

// Charges a finished slot to the budget, or drops it when it holds nothing,
// then evicts the least recently used entries beyond the budget.
void CPackCache::account(const std::string& key, const std::shared_ptr<Slot>& slot)
{
    std::lock_guard<std::mutex> hold(lock);
    auto it = slots.find(key);
    if (it == slots.end() || it->second != slot)
        return;
    if (!slot->data || budget == 0) {
        recent.erase(slot->lru);
        slots.erase(it);
        return;
    }
    if (!slot->counted) {
        slot->counted = true;
        counters.bytes += slot->data->size();
        ++counters.entries;
    }
    while (counters.bytes > budget && !recent.empty()) {
        const std::string& victimKey = recent.back();
        auto victim = slots.find(victimKey);
        if (victim != slots.end()) {
            if (victim->second->counted) {
                counters.bytes -= victim->second->data->size();
                --counters.entries;
            }
            slots.erase(victim);
        }
        recent.pop_back();
    }
}

CPackCache::Stats CPackCache::stats() const
{
    std::lock_guard<std::mutex> hold(lock);
    return counters;
}
