// The file list: a tree of folders and files with size, time, MD5 checksum and
// flags for every file. Lists are built by scanning a folder, read from and
// written to the binary list format ("Files.lst", the server's lists), compared
// with each other and corrected entry by entry through paths.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "newupdatesystem/Common/PathUtil.h"

// Flag bits of FileInfo::flags; bits 3-31 are carried through untouched.
constexpr uint32_t FI_FOLDER = 1;    // the entry is a folder
constexpr uint32_t FI_CHECKSUM = 2;  // checksum holds a valid digest
constexpr uint32_t FI_NOCOMPARE = 4; // the comparison takes the file as unchanged

struct FileInfo
{
    uint32_t flags = 0;
    uint64_t size = 0;         // bytes; 0 for folders
    int64_t time = 0;          // last write, seconds since 1970 UTC
    uint32_t checksum[4] = {}; // MD5 digest bytes read as four little-endian words
};

// The MD5 digest as bytes, as the checksum words hold it.
inline void checksumBytes(const FileInfo& info, uint8_t digest[16])
{
    for (int i = 0; i < 16; ++i)
        digest[i] = static_cast<uint8_t>(info.checksum[i / 4] >> (8 * (i % 4)));
}

// Names are ordered as strcmp orders them: plain unsigned bytes, no case
// folding, no locale. std::string_view compares through char_traits<char>,
// which compares as unsigned char.
struct FileNameLess
{
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a < b; }
};

struct FileEntry;
using FolderMap = std::map<std::string, FileEntry, FileNameLess>;

// A FileInfo plus the entry's own folder map, present exactly when the entry
// is a folder.
struct FileEntry : FileInfo
{
    std::unique_ptr<FolderMap> child;

    bool isFolder() const { return child != nullptr; }
};

// Codes passed to CFileList::onListEvent.
enum ListEvent : uint32_t
{
    LE_READING = 0,
    LE_WRITING = 1,
    LE_SCAN_STARTED = 2,
    LE_CRC_SCAN_STARTED = 3,
    LE_SCAN_FINISHED = 4,
    LE_CHECKSUM = 5,
    LE_COMPARING = 6,
    LE_UPDATE = 7,
    LE_REMOVE = 8,
    LE_EXCLUDE = 9,
    LE_PASSED_OVER = 10, // a file the scan leaves out (a log file); the path as found
};

// Limits of the binary format and of names.
constexpr uint32_t kMaxListFiles = 0x10000;
constexpr uint32_t kMaxListFolders = 0x4000;
constexpr uint32_t kMaxFolderEntries = 0x10000;
constexpr uint32_t kMaxListFileSize = 0x80000000u;       // in a version 102 list
constexpr uint64_t kMaxWideFileSize = uint64_t(1) << 46; // in a version 103 list (64 TiB)
constexpr uint32_t kMaxListBytes = 0x40000000u;
constexpr uint32_t kMaxNameLength = 127;
constexpr uint32_t kMaxPathLength = 511;

class CFileList
{
public:
    CFileList() = default;
    virtual ~CFileList() = default;
    CFileList(const CFileList&) = delete;
    CFileList& operator=(const CFileList&) = delete;

    // The list's one virtual operation; the base writes a file-only log line for
    // the reading, writing and scanning codes and ignores the others.
    virtual void onListEvent(uint32_t code, const char* path, const FileInfo* info);

    // Removes every entry; the image stays.
    void clear();
    // Lower-cases every name, the form lists hold them in, so that a list
    // written elsewhere compares with a scanned one. Of names that then
    // coincide the one already in lower case stays, else the first in byte
    // order. Returns the number of entries dropped (with what they held).
    uint32_t lowerCaseNames();

    // --- binary format (FileListBin.cpp) ---
    // Replaces the contents by the list in the buffer. All or nothing: on any
    // defect throws CFileListExcep and leaves the list empty.
    void createFromBin(const void* buffer, uint32_t length);
    // Reads the whole file and parses it; file errors arrive as CSystemExcep.
    void createFromFile(const char* path);
    // Replaces the image by the binary form of the list as it stands now: version
    // 102, or 103 when a file is larger than 102 can hold.
    void buildBin();
    // Writes the current image (callers run buildBin first).
    void saveToFile(const char* path);
    const std::vector<uint8_t>& image() const { return m_imageData; }
    uint32_t imageSize() const { return static_cast<uint32_t>(m_imageData.size()); }

    // --- scan and path operations (FileListScan.cpp) ---
    // Replaces the list by the contents of folder and all its sub-folders.
    void scan(const char* folder, bool withChecksums);
    // Raises LE_CHECKSUM for folder/name, then checksums that file into info.
    void computeChecksum(FileInfo& info, const char* folder, const char* name);
    // Sets the MD5 checksum and FI_CHECKSUM; a zero-length file gets sixteen
    // zero bytes and is not opened.
    static void checksumFile(FileInfo& info, const char* path);
    // The description of the entry the path names; a path ending in a
    // separator names a folder and is accepted only with allowFolder.
    FileInfo getFileInfo(const char* path, bool allowFolder);
    // Inserts or updates the entry the path names; a folder path creates every
    // folder missing on its way.
    void updateFileInfo(const char* path, const FileInfo& info);
    // Removes the entry the path names (a folder with everything below it).
    void remove(const char* path);
    // Removes, or sets flags of, every entry of map that the pattern under the
    // tokenizer matches.
    void modifyRecursive(FolderMap& map, PathTokenizer& tokenizer, bool remove, uint32_t setBits,
                         uint32_t keepMask);

    // The entry the path names, or null; no event, no exception for a missing
    // entry (a malformed path throws FLIST_WRONG_FNAME).
    const FileEntry* findEntry(const char* path) const;

    FolderMap root;
    uint32_t fileCount = 0;
    uint32_t folderCount = 0;
    uint64_t totalSize = 0;

protected:
    void parseBinRecursive(FolderMap& map, const uint8_t* buffer, uint32_t length, uint32_t& pos,
                           uint32_t depth, bool wide);
    void scanRecursive(FolderMap& map, const std::string& folder, bool withChecksums);
    void removeRecursive(PathTokenizer& tokenizer);
    // Takes one entry out of its map and keeps the counters right.
    void removeEntry(FolderMap& map, FolderMap::iterator it);
    void forgetSubtree(const FolderMap& map);
    uint32_t lowerCaseRecursive(FolderMap& map);

private:
    std::vector<uint8_t> m_imageData;
    // The header's counts while createFromBin parses.
    uint32_t m_expectedFiles = 0;
    uint32_t m_expectedFolders = 0;
};
