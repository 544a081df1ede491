// The result of comparing two file lists: flat lists of file items and folder
// items with their paths. The same structure carries path patterns parsed
// from text (ItemList.h) and is printed and applied to the disk
// (FileListPrint.h).
#pragma once

#include <cstdint>
#include <list>

#include "newupdatesystem/Common/FileList.h"

enum class ChangeKind : uint32_t
{
    Old = 0, // collected from a whole list, or a pattern parsed from text
    Mod = 1, // on both sides but different; each side's version on its side
    Add = 2, // on this side only
};

// Comparison mode bits of entriesEqual and compareLists.
constexpr uint32_t CMP_SIZE = 1;     // sizes equal
constexpr uint32_t CMP_CHECKSUM = 2; // both have FI_CHECKSUM and equal checksums
constexpr uint32_t CMP_TIME = 4;     // times differ by at most 2 seconds

struct FileChange
{
    FileInfo info;
    char path[PATH_BUFFER_SIZE] = {}; // relative to the list root, `/`-separated
    ChangeKind kind = ChangeKind::Old;
};

struct FolderChange
{
    char path[PATH_BUFFER_SIZE] = {}; // no trailing separator
    uint32_t entryCount = 0;          // direct entries when the item was made
    ChangeKind kind = ChangeKind::Old;
};

class ChangeList
{
public:
    // What the list keeps of what is added to it.
    enum class Collect : uint32_t
    {
        FilesAndFolders,
        FilesOnly,
        FoldersOnly,
    };

    explicit ChangeList(Collect what = Collect::FilesAndFolders)
        : collectFiles(what != Collect::FoldersOnly), collectFolders(what != Collect::FilesOnly)
    {
    }

    // Empties both lists and the counters; the collect flags stay.
    void clear();
    // Appends folderPath/name; counts it and its size.
    void addFile(const char* name, const FileInfo& info, ChangeKind kind, const char* folderPath);
    void addFolder(const char* path, const FolderMap& map, ChangeKind kind);
    // Every file of the map, then every folder with its own tree, in name order.
    void addTree(const FolderMap& map, ChangeKind kind, const char* folderPath);
    // A folder with everything below it, or one file.
    void addEntry(const char* name, const FileEntry& entry, ChangeKind kind, const char* folderPath);

    // Items never move once added; consumers may erase items they skip.
    std::list<FileChange> fileItems;
    std::list<FolderChange> folderItems; // a parent before the folders inside it
    bool collectFiles;
    bool collectFolders;
    uint32_t count = 0;     // items added through addFile/addFolder whose kind is not Add
    uint32_t countAdd = 0;  // those whose kind is Add
    uint64_t totalSize = 0; // sizes of the file items added through addFile
};

// True when the two entries count as unchanged under mode (CMP_* bits).
bool entriesEqual(const FileInfo& a, const FileInfo& b, uint32_t mode);

// newer receives what B has that A lacks or holds differently (B's version),
// older what A has that B lacks or holds differently (A's version).
void compareLists(ChangeList& newer, ChangeList& older, CFileList& a, CFileList& b, uint32_t mode);

// Replaces the contents of items by every entry of the list, kind Old.
void collectAll(CFileList& list, ChangeList& items);

#include "newupdatesystem/Common/FileListPrint.h"
#include "newupdatesystem/Common/ItemList.h"
