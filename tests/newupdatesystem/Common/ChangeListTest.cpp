#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/FileListTestUtil.h"

namespace
{
using enum ChangeKind;

std::vector<std::string> filePaths(const ChangeList& c)
{
    std::vector<std::string> out;
    for (const auto& item : c.fileItems)
        out.push_back(std::string(item.path) + ":" + std::to_string(static_cast<uint32_t>(item.kind)));
    return out;
}

std::vector<std::string> folderPaths(const ChangeList& c)
{
    std::vector<std::string> out;
    for (const auto& item : c.folderItems)
        out.push_back(std::string(item.path) + ":" + std::to_string(static_cast<uint32_t>(item.kind)) + ":" +
                      std::to_string(item.entryCount));
    return out;
}

FileInfo summed(uint32_t size, uint32_t word)
{
    FileInfo info = fileInfo(size, 0, FI_CHECKSUM);
    info.checksum[3] = word;
    return info;
}
} // namespace

TEST(ChangeList, EntriesEqualRules)
{
    const FileInfo folder = folderInfo();
    EXPECT_TRUE(entriesEqual(folder, fileInfo(0, 0, FI_FOLDER | FI_NOCOMPARE), 7));
    EXPECT_FALSE(entriesEqual(folder, fileInfo(0, 0, FI_NOCOMPARE), 7));
    EXPECT_TRUE(entriesEqual(fileInfo(1, 0, FI_NOCOMPARE), fileInfo(2, 100), 7));
    EXPECT_TRUE(entriesEqual(fileInfo(1), fileInfo(2, 0, FI_NOCOMPARE), 7));
    EXPECT_FALSE(entriesEqual(fileInfo(1), fileInfo(2), CMP_SIZE));
    EXPECT_TRUE(entriesEqual(fileInfo(1), fileInfo(2), CMP_TIME));
    EXPECT_TRUE(entriesEqual(fileInfo(1, 10), fileInfo(1, 12), CMP_SIZE | CMP_TIME));
    EXPECT_FALSE(entriesEqual(fileInfo(1, 10), fileInfo(1, 13), CMP_SIZE | CMP_TIME));
    EXPECT_FALSE(entriesEqual(fileInfo(1, 13), fileInfo(1, 10), CMP_SIZE | CMP_TIME));
    EXPECT_FALSE(entriesEqual(fileInfo(1, INT64_MAX), fileInfo(1, INT64_MIN), CMP_TIME));
    EXPECT_TRUE(entriesEqual(summed(4, 9), summed(4, 9), 3));
    EXPECT_FALSE(entriesEqual(summed(4, 9), summed(4, 8), 3));
    FileInfo noSum = summed(4, 9);
    noSum.flags = 0;
    EXPECT_FALSE(entriesEqual(summed(4, 9), noSum, 3));
    EXPECT_FALSE(entriesEqual(noSum, noSum, 3));
    EXPECT_TRUE(entriesEqual(noSum, noSum, 5));
}

TEST(ChangeList, CompareFindsAddedAndModifiedEntries)
{
    CFileList a;
    CFileList b;
    a.updateFileInfo("a.txt", summed(5, 1));
    b.updateFileInfo("a.txt", summed(6, 1));
    b.updateFileInfo("b.txt", summed(6, 2));
    ChangeList newer;
    ChangeList older;
    compareLists(newer, older, a, b, 3);
    EXPECT_EQ(filePaths(newer), (std::vector<std::string>{"a.txt:1", "b.txt:2"}));
    EXPECT_EQ(newer.fileItems.front().info.size, 6u);
    EXPECT_EQ(filePaths(older), (std::vector<std::string>{"a.txt:1"}));
    EXPECT_EQ(older.fileItems.front().info.size, 5u);
    EXPECT_EQ(newer.count, 1u);
    EXPECT_EQ(newer.countAdd, 1u);
    EXPECT_EQ(newer.totalSize, 12u);

    // A list against itself: nothing, under every mode; earlier results are cleared.
    for (uint32_t mode : {3u, 5u, 7u})
    {
        compareLists(newer, older, b, b, mode);
        EXPECT_TRUE(newer.fileItems.empty() && older.fileItems.empty() && newer.folderItems.empty());
        EXPECT_EQ(newer.count + newer.countAdd + older.count + older.countAdd, 0u);
    }
}

TEST(ChangeList, SubtreesComeAlongInOrder)
{
    CFileList a;
    CFileList b;
    b.updateFileInfo("data/sub/", folderInfo());
    b.updateFileInfo("data/x", fileInfo(1));
    b.updateFileInfo("data/sub/y", fileInfo(2));
    a.updateFileInfo("x", fileInfo(3));
    b.updateFileInfo("x/", folderInfo());
    b.updateFileInfo("x/in", fileInfo(4));
    a.updateFileInfo("same/", folderInfo());
    b.updateFileInfo("same/", folderInfo());
    a.updateFileInfo("same/old", fileInfo(5));
    b.updateFileInfo("same/new", fileInfo(6));

    ChangeList newer;
    ChangeList older;
    compareLists(newer, older, a, b, 5);
    EXPECT_EQ(folderPaths(newer), (std::vector<std::string>{"data:2:2", "data/sub:2:1", "x:1:1"}));
    EXPECT_EQ(filePaths(newer),
              (std::vector<std::string>{"data/x:2", "data/sub/y:2", "same/new:2", "x/in:1"}));
    EXPECT_EQ(filePaths(older), (std::vector<std::string>{"same/old:2", "x:1"}));
    EXPECT_TRUE(older.folderItems.empty());
    // Folder items count too: data, data/sub (Add), x (Mod).
    EXPECT_EQ(newer.countAdd, 5u);
    EXPECT_EQ(newer.count, 2u);

    // Collecting off: nothing is added.
    ChangeList filesOnly(ChangeList::Collect::FilesOnly);
    compareLists(filesOnly, older, a, b, 5);
    EXPECT_TRUE(filesOnly.folderItems.empty());
    EXPECT_EQ(filesOnly.fileItems.size(), 4u);
}

TEST(ChangeList, CollectAllAndComparingEvent)
{
    RecordingList list;
    list.updateFileInfo("d/", folderInfo());
    list.updateFileInfo("d/e", fileInfo(2));
    list.updateFileInfo("a", fileInfo(1));
    ChangeList all;
    all.addFile("stale", fileInfo(9), Add, "");
    collectAll(list, all);
    EXPECT_EQ(filePaths(all), (std::vector<std::string>{"a:0", "d/e:0"}));
    EXPECT_EQ(folderPaths(all), (std::vector<std::string>{"d:0:1"}));
    EXPECT_EQ(all.totalSize, 3u);
    EXPECT_EQ(all.count, 3u);

    RecordingList other;
    ChangeList n;
    ChangeList o;
    compareLists(n, o, list, other, 3);
    EXPECT_EQ(list.countOf(LE_COMPARING), 1u);
    EXPECT_EQ(other.countOf(LE_COMPARING), 1u);
}

TEST(ChangeList, PathsStopAt511Characters)
{
    ChangeList c;
    const std::string folder(500, 'f');
    c.addFile(std::string(100, 'n').c_str(), fileInfo(1), Add, folder.c_str());
    EXPECT_EQ(std::string(c.fileItems.front().path).size(), 511u);
}
