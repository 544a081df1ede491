// CFileReplacer: a new version of a file is written beside it under a
// temporary name and takes the file's place in one rename, only once it is
// complete and checked. Until then the old file stays whole under its name,
// so a failed or refused download never leaves a half-written file behind; a
// symbolic link standing at the name is replaced, never written through.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "newupdatesystem/Common/Md5.h"

class CFileReplacer
{
public:
    // Creates the temporary file in the target's folder; FILE_CREATE.
    explicit CFileReplacer(const char* target);
    // Continues a download an earlier try left at partialPath (beside the
    // target; made anew when missing or not a plain file): its first keep
    // bytes stay and count towards the checksum, anything after them is cut
    // off. Unless the target is replaced or discardPartial is called, the
    // partial file stays for the next try. FILE_CREATE, FILE_READ.
    CFileReplacer(const char* target, const std::string& partialPath, uint64_t keep);
    // Removes the temporary file unless it has replaced the target or is a
    // partial file to keep.
    ~CFileReplacer();
    CFileReplacer(const CFileReplacer&) = delete;
    CFileReplacer& operator=(const CFileReplacer&) = delete;

    // Appends to the temporary file; FILE_WRITE.
    void write(const void* data, uint32_t n);
    // The same without adding the bytes to the checksum, for a caller that
    // checksums them elsewhere (from checksum()) and commits with its digest.
    void append(const void* data, uint32_t n);
    // The checksum of what write added, and of the part a resumed file kept.
    const CMd5& checksum() const { return m_md5; }
    uint64_t size() const { return m_written; }

    // Checks the whole content against the expected size and digest (sixteen
    // zero bytes for an empty file, as file lists hold it): a difference
    // throws Z_CORRUPTED and leaves the target as it was. Then stamps the
    // time t (seconds since 1970 UTC) and puts the file in place.
    void commit(uint64_t expectedSize, const uint8_t expectedDigest[16], int64_t t);
    // The same with the digest of the content computed by the caller.
    void commit(const uint8_t digest[16], uint64_t expectedSize, const uint8_t expectedDigest[16], int64_t t);
    // The same without the check.
    void commitUnchecked(int64_t t);
    // Puts the file in place without a check, keeping its new time.
    void commit();

    const std::string& temporaryPath() const { return m_tempPath; }
    // Pushes what was written to the system, so that a later try finds it.
    void flush();
    // The partial file goes when this replacer ends without replacing.
    void discardPartial() { m_keepPartial = false; }

private:
    void closeStream();
    void finish(); // closes, removes write protection at the target, renames

    std::string m_targetPath;
    std::string m_tempPath;
    FILE* m_stream = nullptr;
    CMd5 m_md5;
    uint64_t m_written = 0;
    bool m_placed = false;
    bool m_keepPartial = false;
};
