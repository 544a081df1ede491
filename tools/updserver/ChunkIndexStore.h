// CChunkIndexStore: the chunk indexes of published files, made once on the
// first request and kept for the next clients: in memory up to a budget, and
// in the pack cache's disk store (where there is one) keyed by the file's
// list MD5 and the chunk parameters, so that a restart does not cut the same
// content again. One index is made at a time in all: a crowd asking for new
// indexes costs one processor, not one each. Thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "newupdatesystem/Common/ChunkMessages.h"
#include "newupdatesystem/Common/FileList.h"

class CPackStore;

class CChunkIndexStore
{
public:
    explicit CChunkIndexStore(uint64_t memoryBudget = uint64_t(64) << 20);

    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    // The encoded index of the file at disk, which the list describes as
    // info; null when it gets none (below CHUNK_INDEX_MIN_FILE, without a
    // checksum in the list, too many chunks, or changed while it was read).
    // store may be null. Throws std::runtime_error when the file cannot be read.
    Bytes get(const std::filesystem::path& disk, const FileInfo& info, CPackStore* store);

    struct Stats
    {
        uint64_t made = 0;     // indexes cut from their files
        uint64_t diskHits = 0; // taken from the disk store
        uint64_t memoryHits = 0;
    };
    Stats stats() const;

private:
    Bytes fromMemory(const std::string& key);
    void keep(const std::string& key, const Bytes& bytes);

    uint64_t m_budget;
    mutable std::mutex m_lock;
    std::mutex m_making; // one index made at a time, in all
    std::map<std::string, std::pair<Bytes, std::list<std::string>::iterator>> m_entries;
    std::list<std::string> m_recent; // most recently used first
    uint64_t m_held = 0;
    Stats m_counters;
};
