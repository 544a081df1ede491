// Packed ("ZPck") forms of served files, kept in memory so that the next
// client asking for the same file does not compress it again. An entry is
// keyed by the file's path, size and modification time, so a changed file is
// packed afresh. Clients asking for a file that is being packed wait for that
// one packing instead of starting their own. Thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "newupdatesystem/Common/DataFile.h"

class CPackCache
{
public:
    // budget: bytes of packed data kept at most; 0 keeps nothing.
    explicit CPackCache(uint64_t budget);

    // The packed file; throws the CExcep of reading or packing, or
    // std::filesystem::filesystem_error when the file cannot be examined.
    std::shared_ptr<const CDataFile> get(const std::filesystem::path& file);

    struct Stats
    {
        uint64_t hits = 0;
        uint64_t packs = 0;
        uint64_t bytes = 0;   // packed bytes held
        uint64_t entries = 0;
        uint64_t packNanos = 0; // time spent reading and packing
    };
    Stats stats() const;

private:
    struct Slot
    {
        std::mutex packing;
        std::shared_ptr<const CDataFile> data;
        std::list<std::string>::iterator lru;
        bool counted = false;
    };

    void account(const std::string& key, const std::shared_ptr<Slot>& slot);

    uint64_t budget;
    mutable std::mutex lock;
    std::map<std::string, std::shared_ptr<Slot>> slots;
    std::list<std::string> recent; // most recently used first
    Stats counters;
};
