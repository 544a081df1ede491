// One upload on its way to disk. The packed ("ZPck") bytes are taken chunk by
// chunk as they arrive, unpacked at once into a temporary file beside the
// target and never held whole in memory; the unpacked size is capped by the
// server's limit before anything is written. commit() renames the file into
// place, so the target never holds half an upload, and every upload has a
// temporary name of its own, so two uploads to one path cannot mix.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

class CUploadStore
{
public:
    // target: the file the upload replaces once committed; maxUnpacked: the
    // most bytes the unpacked file may have.
    CUploadStore(std::filesystem::path target, uint64_t maxUnpacked);
    // Removes the temporary file unless the upload was committed.
    ~CUploadStore();
    CUploadStore(const CUploadStore&) = delete;
    CUploadStore& operator=(const CUploadStore&) = delete;

    // Makes the missing folders and the temporary file; false on failure.
    bool open();
    // The next packed bytes, in order. False once the upload cannot succeed
    // (bad or oversized data, a disk error); further calls do nothing.
    bool append(const void* bytes, uint32_t length);
    // Checks that the data was complete, stamps the time (seconds since 1970)
    // and renames the file into place. True only when the target now holds it.
    bool commit(uint32_t time);

    // Why the upload failed, for the log.
    const std::string& failure() const { return m_why; }
    uint64_t packedBytes() const { return m_packedIn; }
    // The temporary name, for tests and the log.
    const std::filesystem::path& temporary() const { return m_temp; }

    // True for names this class gives its temporary files; the list build
    // leaves them out.
    static bool isTemporaryName(const std::string& fileName);

private:
    bool fail(const std::string& reason);
    bool takeHeader();
    bool inflateSome(const uint8_t* bytes, uint32_t length);
    void discard();

    std::filesystem::path m_target;
    std::filesystem::path m_temp;
    uint64_t m_maxUnpacked;
    FILE* m_file = nullptr;
    bool m_failed = false;
    bool m_committed = false;
    std::string m_why;

    uint8_t m_header[12] = {};
    uint32_t m_headerFill = 0;
    uint32_t m_declaredUnpacked = 0;
    uint32_t m_declaredPacked = 0;
    uint64_t m_packedIn = 0; // bytes of the zlib stream taken
    uint64_t m_written = 0;  // unpacked bytes written
    z_stream m_zs{};
    bool m_inflating = false;
    bool m_ended = false;
    std::vector<uint8_t> m_out;
};
