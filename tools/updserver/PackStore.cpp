#include "tools/updserver/PackStore.h"

#include "platform/Files.h"
#include "platform/PrivateFolder.h"
#include "platform/Process.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/StoredFormats.h"

namespace fs = std::filesystem;

namespace
{
constexpr const char* kEntrySuffix = ".zpk";
constexpr const char* kTempSuffix = ".part";

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
} // namespace

CPackStore::CPackStore(fs::path folder, uint64_t budget) : m_dir(std::move(folder)), m_budget(budget)
{
    std::string why;
    if (!platform::ensurePrivateFolder(m_dir.string().c_str(), why))
        throw std::runtime_error("the cache folder '" + m_dir.string() + "' is not usable: " + why);
    for (const fs::directory_entry& e : fs::directory_iterator(m_dir))
    {
        std::error_code ec;
        if (endsWith(e.path().filename().string(), kTempSuffix))
            fs::remove(e.path(), ec);
    }
    std::lock_guard<std::mutex> hold(m_lock);
    rescan();
}

std::string CPackStore::entryName(const uint8_t md5[16], uint32_t unpackedSize)
{
    static const char* hex = "0123456789abcdef";
    std::string name;
    for (int i = 0; i < 16; ++i)
    {
        name += hex[md5[i] >> 4];
        name += hex[md5[i] & 15];
    }
    return name + "-" + std::to_string(unpackedSize) + kEntrySuffix;
}

std::shared_ptr<const CDataFile> CPackStore::load(const uint8_t md5[16], uint32_t unpackedSize,
                                                  const Check& check)
{
    std::string name = entryName(md5, unpackedSize);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto it = m_entries.find(name);
        if (it == m_entries.end())
            return nullptr;
        m_recent.splice(m_recent.begin(), m_recent, it->second.lru);
    }
    fs::path path = m_dir / name;
    platform::FileStatus st;
    if (!platform::fileStatus(path.string().c_str(), st, true) || st.link ||
        st.kind != platform::FileKind::Regular)
    {
        forget(name, false);
        return nullptr;
    }
    std::ifstream in(path, std::ios::binary);
    uint8_t head[HEADER_SIZE];
    auto damaged = [&](const char* why) -> std::shared_ptr<const CDataFile>
    {
        logWarning("Packed file '%s' is damaged (%s); it is packed again", path.string().c_str(), why);
        in.close();
        forget(name, true);
        return nullptr;
    };
    if (!in)
    {
        // Deleted behind our back, perhaps by another server sharing the folder.
        forget(name, false);
        return nullptr;
    }
    if (!in.read(reinterpret_cast<char*>(head), HEADER_SIZE))
        return damaged("short header");
    PackStoreHead entry;
    if (PackStoreHead::decode(head, HEADER_SIZE, entry) != WireCheck::OK || entry.format != FORMAT ||
        entry.unpackedSize != unpackedSize || std::memcmp(entry.md5, md5, sizeof entry.md5) != 0)
        return damaged("wrong header");
    const uint32_t packedSize = entry.packedSize;
    if (packedSize < CDataFile::HEADER_SIZE || packedSize > CDataFile::MAX_SIZE + CDataFile::HEADER_SIZE)
        return damaged("impossible length");
    auto packed = std::make_shared<CDataFile>();
    packed->reserve(packedSize);
    if (!in.read(reinterpret_cast<char*>(packed->data()), packedSize) ||
        in.peek() != std::char_traits<char>::eof())
        return damaged("wrong length");
    packed->writeAt(nullptr, 0, packedSize); // the size only: the bytes are in place
    const uint8_t* p = packed->data();
    if (calcCrc32(p, packedSize, 0) != entry.crc)
        return damaged("checksum mismatch");
    PackedHead packedHead;
    if (PackedHead::decode(p, packedSize, packedHead) != WireCheck::OK ||
        packedHead.unpackedSize != unpackedSize ||
        uint64_t(packedHead.packedSize) + PackedHead::SIZE != packedSize)
        return damaged("wrong packed header");
    if (!verified(name, md5, *packed, check))
        return damaged("content does not match its key");
    // The time stamp carries the recency over to the next start.
    std::error_code ec;
    fs::last_write_time(path, fs::file_time_type::clock::now(), ec);
    return packed;
}

void CPackStore::save(const uint8_t md5[16], uint32_t unpackedSize, const CDataFile& packed)
{
    uint64_t size = uint64_t(HEADER_SIZE) + packed.size();
    if (size > m_budget)
        return;
    std::string name = entryName(md5, unpackedSize);
    std::string tempName;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_entries.count(name))
            return;
        tempName = name + "." + std::to_string(platform::currentProcessId()) + "." +
                   std::to_string(++m_tempSerial) + kTempSuffix;
    }
    PackStoreHead entry;
    entry.format = FORMAT;
    entry.unpackedSize = unpackedSize;
    entry.packedSize = packed.size();
    entry.crc = calcCrc32(packed.data(), packed.size(), 0);
    std::memcpy(entry.md5, md5, sizeof entry.md5);
    const auto head = entry.encode();

    fs::path temp = m_dir / tempName;
    std::error_code ec;
    {
        // Exclusively: a name prepared in advance is never written through.
        FILE* out = platform::createExclusiveFile(temp.string().c_str());
        if (out == nullptr)
        {
            logWarning("Cannot create the packed file '%s'", temp.string().c_str());
            return;
        }
        bool written = std::fwrite(head.data(), 1, head.size(), out) == head.size() &&
                       std::fwrite(packed.data(), 1, packed.size(), out) == packed.size();
        if (std::fclose(out) != 0 || !written)
        {
            logWarning("Cannot write the packed file '%s'", temp.string().c_str());
            fs::remove(temp, ec);
            return;
        }
    }
    fs::rename(temp, m_dir / name, ec);
    if (ec)
    {
        logWarning("Cannot rename '%s': %s", temp.string().c_str(), ec.message().c_str());
        fs::remove(temp, ec);
        return;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    // Others sharing the folder count against the same budget.
    if (std::chrono::steady_clock::now() - m_scanned >= m_rescanEvery)
        rescan();
    if (!m_entries.count(name))
        admit(name, size);
    m_verified.insert(name);
}

bool CPackStore::hasRoomFor(uint32_t packedSize) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_counters.bytes + HEADER_SIZE + packedSize <= m_budget;
}

// Called with the lock held: counts the entry and deletes the least recently
// used ones beyond the budget.
void CPackStore::admit(const std::string& name, uint64_t size)
{
    m_recent.push_front(name);
    m_entries[name] = Entry{size, m_recent.begin()};
    m_counters.bytes += size;
    ++m_counters.files;
    while (m_counters.bytes > m_budget && !m_recent.empty())
    {
        std::string victim = m_recent.back();
        m_recent.pop_back();
        auto it = m_entries.find(victim);
        m_counters.bytes -= it->second.size;
        --m_counters.files;
        m_entries.erase(it);
        m_verified.erase(victim);
        std::error_code ec;
        fs::remove(m_dir / victim, ec);
    }
}

void CPackStore::forget(const std::string& name, bool damaged)
{
    std::error_code ec;
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_entries.find(name);
    if (it == m_entries.end())
        return;
    fs::remove(m_dir / name, ec);
    m_counters.bytes -= it->second.size;
    --m_counters.files;
    m_recent.erase(it->second.lru);
    m_entries.erase(it);
    m_verified.erase(name);
    if (damaged)
        ++m_counters.damaged;
}

CPackStore::Stats CPackStore::stats() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_counters;
}
