// CChunkSources: local files cut into chunks the way the server cuts its
// files, so that a patched file takes whatever chunk one of them holds. Holds
// the chunks' places (about 40 bytes each), not their bytes; one file is open
// at a time, and only while it is read.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

class CChunkSources
{
public:
    CChunkSources() = default;
    ~CChunkSources() { close(); }
    CChunkSources(const CChunkSources&) = delete;
    CChunkSources& operator=(const CChunkSources&) = delete;

    // Cuts the file and remembers its chunks; false when it cannot be
    // opened, FILE_READ when it cannot be read through.
    bool add(const std::string& path);

    struct Where
    {
        uint32_t source = 0;
        uint64_t offset = 0;
    };
    // Where a chunk of that hash lies, or null.
    const Where* find(const uint8_t hash[16]) const;
    // n bytes of a source from offset; FILE_READ when they cannot be read.
    void read(uint32_t source, uint64_t offset, uint8_t* out, size_t n);
    // The open file goes out of use (before a rename over it, say).
    void close();
    bool empty() const { return m_chunks.empty(); }

private:
    using Key = std::array<uint8_t, 16>;
    struct KeyHash
    {
        size_t operator()(const Key& k) const;
    };
    std::vector<std::string> m_paths;
    std::unordered_map<Key, Where, KeyHash> m_chunks;
    FILE* m_open = nullptr;
    uint32_t m_openSource = 0;
};
