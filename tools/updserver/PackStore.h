// Packed files kept on disk, keyed by the MD5 and size of the unpacked bytes,
// so that a restarted server serves the same content without packing it
// again. Each entry is one file "<md5 hex>-<size>.zpk" in the store's folder:
//   offset 0  magic        "ZPcS"
//   offset 4  format       the packing format (bumped when the packing changes)
//   offset 8  unpackedSize
//   offset 12 packedSize   length of the packed file that follows
//   offset 16 crc          CRC-32 of the packed file
//   offset 20 md5          16 bytes, of the unpacked bytes
//   offset 36 the packed ("ZPck") file
// All numbers unsigned 32-bit little-endian. Entries are written under a
// temporary name and renamed into place, checked in full when loaded (a
// damaged one is deleted and reported as absent), and the least recently used
// ones are deleted when the folder would grow beyond its budget. Thread-safe.
//
// Nothing in the folder is taken on trust: it must belong to this user and be
// writable by no one else, links are never read, temporary files are created
// exclusively, and an entry's content is checked against its key the first
// time this process uses it. Servers sharing the folder share its budget: the
// folder itself is measured again on admission (at most once a second).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/StoredFormats.h"

class CPackStore
{
public:
    static constexpr uint32_t MAGIC = PackStoreHead::MAGIC;
    static constexpr uint32_t FORMAT = 1; // zlib level 9 in "ZPck"
    static constexpr uint32_t HEADER_SIZE = PackStoreHead::SIZE;

    // Creates the folder when missing, takes stock of the entries there and
    // deletes temporary files left by an interrupted write. Throws
    // std::filesystem::filesystem_error when the folder cannot be read, and
    // std::runtime_error when it cannot be made or is not ours alone.
    CPackStore(std::filesystem::path folder, uint64_t budget);

    // Whether an entry's packed file holds what its key names; asked the
    // first time this process loads the entry.
    using Check = std::function<bool(const CDataFile& packed)>;
    // The packed file for the content, or null when absent or damaged. Without
    // a check, the key is the MD5 of the unpacked bytes, and that is checked.
    std::shared_ptr<const CDataFile> load(const uint8_t md5[16], uint32_t unpackedSize,
                                          const Check& check = {});
    // Best effort: a failure is logged and leaves no entry behind.
    void save(const uint8_t md5[16], uint32_t unpackedSize, const CDataFile& packed);
    // Whether an entry of that packed size fits beside the others without
    // pushing any out.
    bool hasRoomFor(uint32_t packedSize) const;

    struct Stats
    {
        uint64_t files = 0;
        uint64_t bytes = 0;
        uint64_t damaged = 0; // entries found damaged and deleted
    };
    Stats stats() const;
    const std::filesystem::path& folder() const { return m_dir; }
    static std::string entryName(const uint8_t md5[16], uint32_t unpackedSize);
    // How often an admission measures the folder again (tests: always).
    void setRescanInterval(std::chrono::milliseconds every) { m_rescanEvery = every; }

private:
    struct Entry
    {
        uint64_t size;
        std::list<std::string>::iterator lru;
    };
    void forget(const std::string& name, bool damaged);
    void admit(const std::string& name, uint64_t size);
    // In PackStoreFolder.cpp. Takes stock of the folder again, others'
    // entries included; called with the lock held.
    void rescan();
    bool verified(const std::string& name, const uint8_t md5[16], const CDataFile& packed,
                  const Check& check);

    std::filesystem::path m_dir;
    uint64_t m_budget;
    mutable std::mutex m_lock;
    std::map<std::string, Entry> m_entries;
    std::list<std::string> m_recent; // most recently used first
    Stats m_counters;
    uint64_t m_tempSerial = 0;
    std::set<std::string> m_verified; // entries whose content this process checked
    std::chrono::steady_clock::time_point m_scanned;
    std::chrono::milliseconds m_rescanEvery{1000};
};
