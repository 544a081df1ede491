// Packed ("ZPck") forms of served files, kept in memory so that the next
// client asking for the same file does not compress it again. An entry is
// keyed by the file's path, size and modification time, so a changed file is
// packed afresh. Packing runs on a pool of worker threads; clients asking for
// a file that is being packed wait for that one packing instead of starting
// their own. Packing that nobody waits for (prepacking, and files packed for
// the next client while this one is sent them otherwise) runs at the lowest
// scheduling priority, so it takes only what the clients leave; a client
// that waits for such a packing longer than hurryAfter has its file packed
// again at the normal priority. With a disk
// store, packed files also persist on disk keyed by their content, so a
// restart does not pack the same content again. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "newupdatesystem/Common/DataFile.h"
#include "tools/updserver/PackStore.h"
#include "tools/updserver/WorkerPool.h"

class CPackCache
{
public:
    struct Options
    {
        uint64_t budget = 256ull << 20; // bytes of packed data kept in memory at most; 0 keeps nothing
        unsigned workers = 0;           // packing threads; 0: one per processor
        std::chrono::milliseconds waitLimit{300000}; // how long a client waits for its file to be packed
        unsigned readAhead = 4; // files of the order packed ahead of one a client asks for
        // How long a client waits for its file being packed at the lowest
        // priority before it is packed again at the normal one: a busy
        // machine may leave the first packing next to no processor time.
        std::chrono::milliseconds hurryAfter{2000};
        // Files larger than this are refused before anything is read; a
        // packed form larger than maxPacked is refused and the refusal
        // remembered while the file stays as it is (0: no limit).
        uint64_t maxUnpacked =
            CDataFile::MAX_SIZE - (CDataFile::MAX_SIZE >> 9); // room for the packing's bound
        uint64_t maxPacked = 0;
    };

    // budget: bytes of packed data kept at most; 0 keeps nothing.
    explicit CPackCache(uint64_t budget);
    explicit CPackCache(const Options& options);
    ~CPackCache();
    CPackCache(const CPackCache&) = delete;
    CPackCache& operator=(const CPackCache&) = delete;

    // Keeps packed files in this folder from now on, at most budget bytes;
    // throws std::filesystem::filesystem_error when it cannot be made or read.
    // Call before the first request.
    void openStore(const std::filesystem::path& folder, uint64_t budget);
    // The disk store, or null without one.
    CPackStore* store() const { return m_store.get(); }

    // The packed file; throws the CExcep of reading or packing,
    // std::filesystem::filesystem_error when the file cannot be examined, or
    // std::runtime_error when the packing does not finish within the wait limit.
    std::shared_ptr<const CDataFile> get(const std::filesystem::path& file);

    // The packed file when it is at hand, else null at once, with the file
    // queued for packing in the background (for the next client). For those
    // that can send the file another way rather than wait. Throws
    // std::filesystem::filesystem_error when the file cannot be examined.
    std::shared_ptr<const CDataFile> peek(const std::filesystem::path& file);
    // Queues the file for packing behind the clients' requests and returns at
    // once. Failures are logged.
    void prepack(const std::filesystem::path& file);
    // The files in the order clients ask for them (the file list's). A request
    // that finds its file unpacked also queues the next files of this order.
    void setOrder(const std::vector<std::filesystem::path>& files);
    // True when no packing is queued or running, waiting up to limit for it.
    bool waitIdle(std::chrono::milliseconds limit);

    // For tests: called on the worker thread before each file is read.
    void setPackHook(std::function<void(const std::filesystem::path&)> hook);

    struct Stats
    {
        uint64_t hits = 0;
        uint64_t packs = 0;
        uint64_t bytes = 0; // packed bytes held
        uint64_t entries = 0;
        uint64_t packNanos = 0; // time spent reading and packing
        uint64_t diskHits = 0;  // packed files taken from the disk store
        uint64_t diskBytes = 0; // bytes in the disk store
        uint64_t diskEntries = 0;
        uint64_t pending = 0;      // files queued, being packed or being written to the cache folder
        uint64_t waitTimeouts = 0; // requests that gave up waiting for their packing
    };
    Stats stats() const;

private:
    struct Slot
    {
        enum State
        {
            QUEUED,
            RUNNING,
            DONE,
            FAILED
        };
        enum Origin
        {
            REQUEST,
            PREPACK,
            READ_AHEAD
        };
        State state = QUEUED;
        Origin origin = REQUEST;
        bool urgent = false;  // a client waits for it
        bool lowered = false; // packed on a thread at the lowest priority
        bool hurried = false; // packed once more at the normal priority
        unsigned runners = 0; // packings under way
        std::filesystem::path file;
        std::shared_ptr<const CDataFile> data;
        std::exception_ptr error;
        std::list<std::string>::iterator lru;
        bool counted = false;
    };

    std::shared_ptr<Slot> newSlot(const std::string& key, const std::filesystem::path& file);
    void pack(const std::string& key, const std::shared_ptr<Slot>& slot, bool again);
    struct Produced
    {
        std::shared_ptr<const CDataFile> data;
        bool keep = false; // the file did not change while it was read
        bool save = false; // to be written to the store
        CPackStore* store = nullptr;
        uint8_t md5[16] = {};
        uint32_t unpackedSize = 0;
    };
    Produced produce(const std::filesystem::path& file, const std::string& key);
    void finish(const std::string& key, const std::shared_ptr<Slot>& slot, bool keep);
    void enqueue(const std::filesystem::path& file, Slot::Origin origin, CWorkerPool::Priority priority);
    void post(const std::string& key, const std::shared_ptr<Slot>& slot, CWorkerPool::Priority priority,
              bool again = false);
    void await(std::unique_lock<std::mutex>& hold, const std::string& key, const std::shared_ptr<Slot>& slot,
               const std::filesystem::path& file);
    // In PackCacheLimits.cpp. The refusal already known for the file's key,
    // or one of a file too large to read: empty when it may be packed.
    std::string refusalOf(const std::filesystem::path& file, const std::string& key);
    // Remembers the refusal of a packed form too large; called with the lock held.
    void refuse(const std::string& key, const std::string& why);

    Options m_opts;
    std::unique_ptr<CPackStore> m_store;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<std::string, std::shared_ptr<Slot>> m_slots;
    std::list<std::string> m_recent; // finished entries held, most recently used first
    Stats m_counters;
    uint64_t m_backgroundLeft = 0;
    struct Order
    {
        std::vector<std::filesystem::path> files;
        std::unordered_map<std::string, size_t> index;
    };
    std::shared_ptr<const Order> m_order;
    std::function<void(const std::filesystem::path&)> m_hook;
    std::map<std::string, std::string> m_refused; // key: why, for files that cannot be served whole
    std::unique_ptr<CWorkerPool> m_pool;          // last: its threads use everything above
};
