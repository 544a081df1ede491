#include "newupdatesystem/client/ChunkSources.h"

#include <cerrno>
#include <cstring>

#include "newupdatesystem/Common/ContentChunker.h"
#include "newupdatesystem/Common/Excep.h"
#include "platform/Files.h"

size_t CChunkSources::KeyHash::operator()(const Key& k) const
{
    size_t h;
    std::memcpy(&h, k.data(), sizeof h);
    return h;
}

bool CChunkSources::add(const std::string& path)
{
    FILE* f = platform::openFile(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    const uint32_t source = static_cast<uint32_t>(m_paths.size());
    m_paths.push_back(path);
    try
    {
        CContentChunker().scan(
            [&](uint8_t* buffer, size_t n)
            {
                const size_t got = std::fread(buffer, 1, n, f);
                if (got < n && std::ferror(f))
                    throw CSystemExcep(FILE_READ, EK_ERRNO, errno, path, EXCEP_HERE());
                return got;
            },
            [&](uint64_t offset, const uint8_t* data, uint32_t length)
            {
                Key key;
                CContentChunker::hash(data, length, key.data());
                m_chunks.emplace(key, Where{source, offset});
            });
    }
    catch (...)
    {
        std::fclose(f);
        throw;
    }
    std::fclose(f);
    return true;
}

const CChunkSources::Where* CChunkSources::find(const uint8_t hash[16]) const
{
    Key key;
    std::memcpy(key.data(), hash, key.size());
    auto at = m_chunks.find(key);
    return at == m_chunks.end() ? nullptr : &at->second;
}

void CChunkSources::read(uint32_t source, uint64_t offset, uint8_t* out, size_t n)
{
    const std::string& path = m_paths.at(source);
    if (m_open == nullptr || m_openSource != source)
    {
        close();
        m_open = platform::openFile(path.c_str(), "rb");
        if (m_open == nullptr)
            throw CSystemExcep(FILE_READ, EK_ERRNO, errno, path, EXCEP_HERE());
        m_openSource = source;
    }
    // The file may have shrunk since it was cut: a short read is a failure.
    if (platform::seekStream(m_open, offset) != 0 || std::fread(out, 1, n, m_open) != n)
        throw CSystemExcep(FILE_READ, EK_ERRNO, errno, path, EXCEP_HERE());
}

void CChunkSources::close()
{
    if (m_open != nullptr)
        std::fclose(m_open);
    m_open = nullptr;
}
