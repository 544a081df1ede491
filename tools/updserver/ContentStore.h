// What the server publishes: the file list of the content tree ("list"), the
// ignore patterns ("ignore") and the list of the launcher's own files
// ("self_upd"), each held packed and with the MD5 of its unpacked bytes, and
// the mapping of a requested name onto a file on disk. A rebuild makes a new
// snapshot and swaps it in, so sessions in the middle of a transfer keep the
// snapshot they started with.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "newupdatesystem/Common/DataFile.h"
#include "newupdatesystem/Common/FileList.h"
#include "tools/updserver/PathGuard.h"

struct PublishedFile
{
    CDataFile packed;
    uint8_t md5[16] = {}; // of the unpacked bytes
};

struct ContentSnapshot
{
    // The content folder as it was when the lists were built, with symbolic
    // links resolved: a release switched by a link later does not move it.
    std::filesystem::path contentDir;
    std::string release; // the last component of contentDir
    CFileList content;
    CFileList self;
    PublishedFile list;     // what a base client may read and fetch
    PublishedFile wideList; // every file, when some need the wide format; else empty
    PublishedFile ignore;
    // "ignore" for base clients when some files are left out of their list:
    // those files' paths follow the patterns, so a base client neither
    // fetches nor deletes them; else empty.
    PublishedFile baseIgnore;
    PublishedFile selfList;
    // The release's signed manifest as "updctl sign" wrote it; empty when unsigned.
    PublishedFile signedRelease;
};

class CContentStore
{
public:
    // selfDir and ignoreFile may be empty (no self-update files, no patterns).
    CContentStore(std::filesystem::path root, std::filesystem::path selfDir,
                  std::filesystem::path ignoreFile);

    // Scans the trees again. Checksums of files whose size and time did not
    // change since the last build are taken over instead of read again.
    // Throws CExcep (scan, read, pack) or std::runtime_error.
    void rebuild();

    std::shared_ptr<const ContentSnapshot> snapshot() const;
    // Whether the current snapshot carries a signed manifest to offer.
    bool hasSignedRelease() const;

    // The published list by its name ("list", "ignore", "self_upd"), or null;
    // a streaming session reads "list" with the files beyond 2 GiB, a base
    // session "ignore" with those files' paths.
    static const PublishedFile* special(const ContentSnapshot& snap, const std::string& name, bool streaming);

    // The ignore list for base clients: the patterns, then a line for each
    // file left out of their list (unlisted; base is their list, its image
    // built). A path a client would read as anything else (a wildcard, a
    // match with another file) is left out and logged. Empty when no path is
    // added.
    static std::string baseIgnoreText(const std::string& patterns, const std::vector<std::string>& unlisted,
                                      const CFileList& base);

    // The disk path of a requested file: a name of the self-update list is
    // taken from the self-update folder, any other must be a file of the
    // snapshot's content list, in the snapshot's folder. False for anything
    // else, and for a file whose size or time on disk no longer match its
    // list entry: its bytes would not be the ones the list promised. info,
    // when given, receives the entry.
    bool locate(const ContentSnapshot& snap, const std::string& name, std::filesystem::path& out,
                FileInfo* info = nullptr) const;

    // The releases of the current snapshot and of every older one that a
    // session still holds, current first.
    std::vector<std::string> releasesInUse() const;

    const CPathGuard& contentGuard() const { return m_content; }

private:
    void buildList(CFileList& list, const std::filesystem::path& dir, const CFileList* previous);
    static void publish(CFileList& list, PublishedFile& out);
    static bool matchesDisk(const FileEntry& entry, const std::filesystem::path& disk);
    static void publishBytes(const void* bytes, uint32_t size, PublishedFile& out);
    // Takes the signed manifest the content folder's root holds, as it is:
    // the server cannot sign and does not judge.
    static void loadSignedRelease(ContentSnapshot& snap);

    CPathGuard m_content;
    CPathGuard m_selfFolder;
    std::filesystem::path m_ignoreFile;
    mutable std::mutex m_lock;
    std::shared_ptr<const ContentSnapshot> m_current;
    std::vector<std::weak_ptr<const ContentSnapshot>> m_older;
    std::mutex m_rebuilding; // one rebuild at a time
};
