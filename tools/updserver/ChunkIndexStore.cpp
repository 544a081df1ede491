#include "tools/updserver/ChunkIndexStore.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "newupdatesystem/Common/ContentChunker.h"
#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Md5.h"
#include "tools/updserver/PackStore.h"

namespace fs = std::filesystem;

namespace
{
// The disk store names an entry by its unpacked size, which must follow from
// the file alone: an index is kept padded with zeros to the most chunks the
// file could have (which packing makes almost free).
uint32_t paddedSize(uint64_t fileSize)
{
    const uint64_t most = std::min<uint64_t>(fileSize / CHUNK_PARAMS.minSize + 1, CHUNK_INDEX_MAX_CHUNKS);
    return static_cast<uint32_t>(ChunkIndex::HEAD_SIZE + most * ChunkIndex::ENTRY_SIZE);
}

// The index in a kept entry, when it is one of this file: read strictly, of
// the file's size, with nothing but zeros after it.
CChunkIndexStore::Bytes indexIn(const CDataFile& plain, uint64_t fileSize)
{
    const uint64_t used = ChunkIndex::declaredSize(plain.data(), plain.size());
    ChunkIndex index;
    if (used == 0 || used > plain.size() ||
        ChunkIndex::decode(plain.data(), used, CHUNK_PARAMS, index) != ChunkIndexCheck::OK ||
        index.fileSize != fileSize ||
        !std::all_of(plain.data() + used, plain.data() + plain.size(), [](uint8_t b) { return b == 0; }))
        return nullptr;
    return std::make_shared<const std::vector<uint8_t>>(plain.data(), plain.data() + used);
}

CChunkIndexStore::Bytes unpacked(const CDataFile& packed, uint64_t fileSize)
{
    CDataFile plain;
    try
    {
        plain.unpackFrom(packed.data(), packed.size());
    }
    catch (const CExcep&)
    {
        return nullptr;
    }
    return indexIn(plain, fileSize);
}
} // namespace

CChunkIndexStore::CChunkIndexStore(uint64_t memoryBudget) : m_budget(memoryBudget) {}

CChunkIndexStore::Bytes CChunkIndexStore::get(const fs::path& disk, const FileInfo& info, CPackStore* store)
{
    if (info.size < CHUNK_INDEX_MIN_FILE || !(info.flags & FI_CHECKSUM))
        return nullptr;
    ChunkIndexKeySource source;
    checksumBytes(info, source.fileMd5);
    source.params = CHUNK_PARAMS;
    const auto keyBytes = source.encode();
    uint8_t key[16];
    CMd5::digest(keyBytes.data(), keyBytes.size(), key);
    const std::string name = CPackStore::entryName(key, paddedSize(info.size));
    if (Bytes held = fromMemory(name))
        return held;

    std::lock_guard<std::mutex> one(m_making);
    // Another session may have made it while this one waited.
    if (Bytes held = fromMemory(name))
        return held;
    if (store != nullptr)
    {
        std::shared_ptr<const CDataFile> kept =
            store->load(key, paddedSize(info.size),
                        [&](const CDataFile& packed) { return unpacked(packed, info.size) != nullptr; });
        if (Bytes bytes = kept ? unpacked(*kept, info.size) : nullptr)
        {
            {
                std::lock_guard<std::mutex> hold(m_lock);
                ++m_counters.diskHits;
            }
            keep(name, bytes);
            return bytes;
        }
    }

    std::ifstream in(disk, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + disk.string());
    CContentChunker chunker;
    ChunkIndex index = chunker.index(
        [&](uint8_t* buffer, size_t n)
        {
            in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(n));
            if (in.bad())
                throw std::runtime_error("cannot read " + disk.string());
            return static_cast<size_t>(in.gcount());
        });
    // A file that changed under the read, or one of too many chunks, gets none.
    if (index.fileSize != info.size || index.chunks.size() > CHUNK_INDEX_MAX_CHUNKS)
        return nullptr;
    auto bytes = std::make_shared<const std::vector<uint8_t>>(index.encode());
    {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_counters.made;
    }
    if (store != nullptr)
    {
        std::vector<uint8_t> padded(*bytes);
        padded.resize(paddedSize(info.size), 0);
        CDataFile packed;
        packed.packFrom(padded.data(), static_cast<uint32_t>(padded.size()));
        if (store->hasRoomFor(packed.size()))
            store->save(key, static_cast<uint32_t>(padded.size()), packed);
    }
    keep(name, bytes);
    return bytes;
}

CChunkIndexStore::Bytes CChunkIndexStore::fromMemory(const std::string& key)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto at = m_entries.find(key);
    if (at == m_entries.end())
        return nullptr;
    m_recent.splice(m_recent.begin(), m_recent, at->second.second);
    ++m_counters.memoryHits;
    return at->second.first;
}

void CChunkIndexStore::keep(const std::string& key, const Bytes& bytes)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (bytes->size() > m_budget || m_entries.count(key))
        return;
    while (m_held + bytes->size() > m_budget && !m_recent.empty())
    {
        auto old = m_entries.find(m_recent.back());
        m_held -= old->second.first->size();
        m_entries.erase(old);
        m_recent.pop_back();
    }
    m_recent.push_front(key);
    m_entries.emplace(key, std::make_pair(bytes, m_recent.begin()));
    m_held += bytes->size();
}

CChunkIndexStore::Stats CChunkIndexStore::stats() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_counters;
}
