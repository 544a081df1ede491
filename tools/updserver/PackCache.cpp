#include "tools/updserver/PackCache.h"

#include "platform/Files.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FilePacker.h"
#include "newupdatesystem/Common/Log.h"

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

std::string describe(const std::exception_ptr& error)
{
    try
    {
        std::rethrow_exception(error);
    }
    catch (const CExcep& e)
    {
        return "exception " + std::to_string(e.code) + " at " + e.formatSource();
    }
    catch (const std::exception& e)
    {
        return e.what();
    }
    catch (...)
    {
        return "unknown failure";
    }
}
} // namespace

CPackCache::CPackCache(uint64_t budget) : CPackCache(Options{budget, 0, std::chrono::minutes(5)}) {}

CPackCache::CPackCache(const Options& options) : m_opts(options)
{
    unsigned threads = m_opts.workers ? m_opts.workers : std::max(1u, std::thread::hardware_concurrency());
    // Packing ahead leaves one thread free for the clients' requests; packing
    // nobody waits for has lowered threads of its own.
    unsigned ahead = threads > 1 ? threads - 1 : 1;
    m_pool = std::make_unique<CWorkerPool>(threads, ahead, ahead);
}

CPackCache::~CPackCache()
{
    m_pool.reset();
}

void CPackCache::openStore(const fs::path& folder, uint64_t budget)
{
    auto opened = std::make_unique<CPackStore>(folder, budget);
    std::lock_guard<std::mutex> hold(m_lock);
    m_store = std::move(opened);
}

void CPackCache::setPackHook(std::function<void(const fs::path&)> h)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_hook = std::move(h);
}

// Called with the lock held.
std::shared_ptr<CPackCache::Slot> CPackCache::newSlot(const std::string& key, const fs::path& file)
{
    auto slot = std::make_shared<Slot>();
    slot->file = file;
    m_slots.emplace(key, slot);
    ++m_counters.pending;
    return slot;
}

// Called with the lock held.
void CPackCache::post(const std::string& key, const std::shared_ptr<Slot>& slot,
                      CWorkerPool::Priority priority, bool again)
{
    m_pool->post([this, key, slot, again] { pack(key, slot, again); }, priority);
}

std::shared_ptr<const CDataFile> CPackCache::get(const fs::path& file)
{
    std::string key = makeKey(file);
    if (std::string why = refusalOf(file, key); !why.empty())
        throw std::runtime_error(why);
    std::unique_lock<std::mutex> hold(m_lock);
    std::shared_ptr<Slot> slot;
    auto it = m_slots.find(key);
    bool miss = it == m_slots.end();
    if (miss)
    {
        slot = newSlot(key, file);
    }
    else
    {
        slot = it->second;
        if (slot->state == Slot::DONE)
        {
            ++m_counters.hits;
            if (slot->counted)
                m_recent.splice(m_recent.begin(), m_recent, slot->lru);
            return slot->data;
        }
        ++m_counters.hits; // packed once for all who ask
    }
    if (!slot->urgent)
    {
        slot->urgent = true;
        // Ahead of the background queue: a prepacked file may be far back in it.
        if (slot->state == Slot::QUEUED)
            post(key, slot, CWorkerPool::URGENT);
    }
    if (miss && m_order && (m_opts.budget > 0 || m_store))
    {
        // A client installing from scratch asks for the files in list order,
        // one at a time: the next ones are packed on the other threads meanwhile.
        auto at = m_order->index.find(file.string());
        if (at != m_order->index.end())
        {
            std::shared_ptr<const Order> sequence = m_order;
            hold.unlock();
            for (size_t i = at->second + 1; i < sequence->files.size() && i <= at->second + m_opts.readAhead;
                 ++i)
                enqueue(sequence->files[i], Slot::READ_AHEAD, CWorkerPool::BACKGROUND);
            hold.lock();
        }
    }
    await(hold, key, slot, file);
    if (slot->state == Slot::FAILED)
        std::rethrow_exception(slot->error);
    return slot->data;
}

// Called with the lock held: waits until the slot is packed or the wait limit
// is over. A packing on a lowered thread may crawl on a busy machine, and an
// unprivileged process cannot raise that thread again; past hurryAfter the
// file is packed once more at the normal priority, the first to finish
// serving all who wait.
void CPackCache::await(std::unique_lock<std::mutex>& hold, const std::string& key,
                       const std::shared_ptr<Slot>& slot, const fs::path& file)
{
    const auto began = std::chrono::steady_clock::now();
    const auto deadline = began + m_opts.waitLimit;
    const auto hurryAt = began + m_opts.hurryAfter;
    while (slot->state != Slot::DONE && slot->state != Slot::FAILED)
    {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
        {
            ++m_counters.waitTimeouts;
            throw std::runtime_error("packing '" + file.string() + "' did not finish within " +
                                     std::to_string(m_opts.waitLimit.count()) + " ms");
        }
        const bool slow = slot->state == Slot::RUNNING && slot->lowered && !slot->hurried;
        if (slow && now >= hurryAt)
        {
            slot->hurried = true;
            post(key, slot, CWorkerPool::URGENT, true);
            continue;
        }
        m_changed.wait_until(hold, slow ? std::min(deadline, hurryAt) : deadline);
    }
}

std::shared_ptr<const CDataFile> CPackCache::peek(const fs::path& file)
{
    std::string key = makeKey(file);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto it = m_slots.find(key);
        if (it != m_slots.end())
        {
            const std::shared_ptr<Slot>& slot = it->second;
            if (slot->state != Slot::DONE)
                return nullptr;
            ++m_counters.hits;
            if (slot->counted)
                m_recent.splice(m_recent.begin(), m_recent, slot->lru);
            return slot->data;
        }
    }
    if (m_opts.budget > 0 || m_store)
        enqueue(file, Slot::READ_AHEAD, CWorkerPool::IDLE);
    return nullptr;
}

void CPackCache::prepack(const fs::path& file)
{
    enqueue(file, Slot::PREPACK, CWorkerPool::IDLE);
}

void CPackCache::setOrder(const std::vector<fs::path>& files)
{
    auto next = std::make_shared<Order>();
    next->files = files;
    for (size_t i = 0; i < files.size(); ++i)
        next->index.emplace(files[i].string(), i);
    std::lock_guard<std::mutex> hold(m_lock);
    m_order = std::move(next);
}

void CPackCache::enqueue(const fs::path& file, Slot::Origin origin, CWorkerPool::Priority priority)
{
    std::string key;
    try
    {
        key = makeKey(file);
    }
    catch (const std::exception& e)
    {
        if (origin == Slot::PREPACK)
            logWarning("Cannot pack '%s': %s", file.string().c_str(), e.what());
        return;
    }
    if (!refusalOf(file, key).empty())
        return;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_slots.count(key))
        return;
    auto slot = newSlot(key, file);
    slot->origin = origin;
    if (origin == Slot::PREPACK)
        ++m_backgroundLeft;
    post(key, slot, priority);
}

bool CPackCache::waitIdle(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, limit, [this] { return m_counters.pending == 0; });
}

// Runs on a worker. A slot may be posted twice (queued by prepack, then
// hurried by a client); whichever task comes first packs it. Once more
// (again) it packs a slot running on a lowered thread alongside; the first
// packing to finish is served, the last one out ends the slot's count.
void CPackCache::pack(const std::string& key, const std::shared_ptr<Slot>& slot, bool again)
{
    std::function<void(const fs::path&)> before;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (slot->state != (again ? Slot::RUNNING : Slot::QUEUED))
            return;
        if (!again)
        {
            slot->state = Slot::RUNNING;
            slot->lowered = CWorkerPool::onLoweredThread();
            // A client may already wait for it, to be hurried past its time.
            m_changed.notify_all();
        }
        ++slot->runners;
        before = m_hook;
    }
    Produced made;
    std::exception_ptr error;
    try
    {
        if (before)
            before(slot->file);
        made = produce(slot->file, key);
    }
    catch (...)
    {
        error = std::current_exception();
    }
    std::unique_lock<std::mutex> hold(m_lock);
    if (slot->state == Slot::RUNNING)
    {
        slot->data = made.data;
        slot->error = error;
        slot->state = error ? Slot::FAILED : Slot::DONE;
        if (error && slot->origin == Slot::PREPACK)
            logWarning("Cannot pack '%s': %s", slot->file.string().c_str(), describe(error).c_str());
        finish(key, slot, made.keep);
        m_changed.notify_all();
        if (made.save)
        {
            // The waiting clients have their file already; the write is this thread's own business.
            hold.unlock();
            made.store->save(made.md5, made.unpackedSize, *made.data);
            hold.lock();
        }
    }
    if (--slot->runners > 0)
        return;
    --m_counters.pending;
    if (slot->origin == Slot::PREPACK && --m_backgroundLeft == 0)
        logInfo("Prepacking done; since the start %llu files packed, %llu taken from the cache folder",
                static_cast<unsigned long long>(m_counters.packs),
                static_cast<unsigned long long>(m_counters.diskHits));
    m_changed.notify_all();
}

// The packed file from the disk store, or packed now (to be stored by the
// caller). keep is false when the file changed while it was read: the result
// is then handed to the clients waiting now but not kept under the old key.
// The file is read in blocks and packed as it is read, never held whole; a
// packing that outgrows maxPacked stops there, so a refusal costs no more
// memory than an answer. With a store the file is read once for its key
// first; the packing reads it again and keys what it made by what it read.
CPackCache::Produced CPackCache::produce(const fs::path& file, const std::string& key)
{
    Produced out;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        out.store = m_store.get();
    }
    const auto began = std::chrono::steady_clock::now();
    if (out.store)
    {
        CFilePacker::Result sum = CFilePacker::digest(file.string().c_str());
        if ((out.data = out.store->load(sum.md5, sum.unpackedSize)))
        {
            std::copy(sum.md5, sum.md5 + 16, out.md5);
            out.unpackedSize = sum.unpackedSize;
            out.keep = makeKey(file) == key;
            std::lock_guard<std::mutex> hold(m_lock);
            ++m_counters.diskHits;
            return out;
        }
    }
    auto packed = std::make_shared<CDataFile>();
    const uint64_t cap = m_opts.maxPacked > 0 ? m_opts.maxPacked : UINT64_MAX;
    CFilePacker::Result made = CFilePacker::pack(file.string().c_str(), cap, *packed);
    if (!made.fits)
    {
        if (m_opts.maxPacked == 0)
            throw CSystemExcep(Z_OUT_OF_BUFFER, EK_NONE, 0, "", EXCEP_SITE("CDataFile::pack"));
        std::string why = "'" + file.string() + "' packs to more than " + std::to_string(m_opts.maxPacked) +
                          " bytes, more than a client accepts";
        std::lock_guard<std::mutex> hold(m_lock);
        if (makeKey(file) == key)
            refuse(key, why);
        throw std::runtime_error(why);
    }
    std::copy(made.md5, made.md5 + 16, out.md5);
    out.unpackedSize = made.unpackedSize;
    out.data = std::move(packed);
    out.keep = makeKey(file) == key;
    out.save = out.store && out.keep;
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_counters.packs;
    m_counters.packNanos += static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - began)
            .count());
    return out;
}

// Called with the lock held after a slot finished: charges a kept slot to the
// budget and evicts the least recently used entries beyond it. The waiting
// clients hold the slot, so a slot that is not kept still reaches them. A
// prepacked result is kept only while it fits without evicting anything, so
// prepacking never pushes out what clients use; one read ahead is about to be
// asked for and is kept like a requested one.
void CPackCache::finish(const std::string& key, const std::shared_ptr<Slot>& slot, bool keep)
{
    bool held = keep && slot->state == Slot::DONE && m_opts.budget > 0 && slot->data->size() <= m_opts.budget;
    if (held && slot->origin == Slot::PREPACK && !slot->urgent &&
        m_counters.bytes + slot->data->size() > m_opts.budget)
        held = false;
    if (!held)
    {
        auto it = m_slots.find(key);
        if (it != m_slots.end() && it->second == slot)
            m_slots.erase(it);
        return;
    }
    m_recent.push_front(key);
    slot->lru = m_recent.begin();
    slot->counted = true;
    m_counters.bytes += slot->data->size();
    ++m_counters.entries;
    while (m_counters.bytes > m_opts.budget && !m_recent.empty())
    {
        auto victim = m_slots.find(m_recent.back());
        m_recent.pop_back();
        if (victim == m_slots.end())
            continue;
        m_counters.bytes -= victim->second->data->size();
        --m_counters.entries;
        victim->second->counted = false;
        m_slots.erase(victim);
    }
}

CPackCache::Stats CPackCache::stats() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    Stats s = m_counters;
    if (m_store)
    {
        CPackStore::Stats d = m_store->stats();
        s.diskBytes = d.bytes;
        s.diskEntries = d.files;
    }
    return s;
}
