#include <gtest/gtest.h>
#include <utime.h>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileListSync.h"
#include "newupdatesystem/Common/FileListTestUtil.h"

namespace
{
class CountingSync : public CFileListSync
{
public:
    void onListEvent(uint32_t code, const char* path, const FileInfo* info) override
    {
        if (code == LE_CHECKSUM)
            checksummed.push_back(path);
        if (code == LE_SCAN_STARTED || code == LE_CRC_SCAN_STARTED)
            ++scans;
        CFileListSync::onListEvent(code, path, info);
    }
    std::vector<std::string> checksummed;
    int scans = 0;
};

void setMtime(const std::string& path, int64_t t)
{
    utimbuf times{time_t(t), time_t(t)};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
}

class FileListSyncTest : public ListLogTest
{
protected:
    void SetUp() override
    {
        ListLogTest::SetUp();
        writeFile("inst/game.exe", "binary");
        writeFile("inst/data/a.pak", "aaaa");
        writeFile("inst/data/maps/m1.map", "m1");
        writeFile("inst/data/maps/deep/m2.map", "m2");
        writeFile("inst/always/config.cfg", "cfg");
        for (const char* f : {"inst/game.exe", "inst/data/a.pak", "inst/data/maps/m1.map",
                              "inst/data/maps/deep/m2.map", "inst/always/config.cfg"})
            setMtime(f, 1500000000);
    }

    // A first synchronisation from no list at all, saved to Files.lst.
    void firstSync()
    {
        CFileListSync first;
        first.syncWithDisk("Files.lst", "inst", false, true);
        first.save();
    }

    // What a fresh checksum scan of the folder gives, as list bytes.
    static std::vector<uint8_t> freshImage()
    {
        CFileList scan;
        scan.scan("inst", true);
        scan.buildBin();
        return scan.image();
    }

    static std::vector<uint8_t> imageOf(CFileList& list)
    {
        list.buildBin();
        return list.image();
    }
};
} // namespace

TEST_F(FileListSyncTest, MissingListMakesEveryFileNew)
{
    CountingSync sync;
    sync.syncWithDisk("Files.lst", "inst", false, true);
    EXPECT_EQ(sync.fileCount, 5u);
    EXPECT_EQ(sync.folderCount, 4u);
    EXPECT_EQ(sync.checksummed.size(), 5u);
    EXPECT_EQ(sync.newerItems.countAdd, 9u);
    EXPECT_TRUE(sync.olderItems.fileItems.empty());
    EXPECT_EQ(imageOf(sync), freshImage());
    EXPECT_NE(logFileText().find("Comparing 'Files.lst'\n"), std::string::npos);

    CountingSync strict;
    EXPECT_THROW(strict.syncWithDisk("Files.lst", "inst", false, false), CSystemExcep);
    EXPECT_EQ(strict.scans, 0);
    writeFile("Files.lst", "garbage that is no list at all");
    EXPECT_THROW(strict.syncWithDisk("Files.lst", "inst", false, false), CFileListExcep);
    strict.syncWithDisk("Files.lst", "inst", false, true);
    EXPECT_EQ(strict.fileCount, 5u);
}

// A checkpoint that raises (a stop request) ends the synchronisation before
// the next file is read: in the scan of a full check as in the checksums of
// new files.
TEST_F(FileListSyncTest, ACheckpointThatRaisesEndsTheSynchronisation)
{
    struct Stop
    {
    };
    for (bool full : {true, false})
    {
        CountingSync sync;
        int calls = 0;
        sync.checkpoint = [&]
        {
            if (++calls == 2)
                throw Stop{};
        };
        EXPECT_THROW(sync.syncWithDisk("Files.lst", "inst", full, true), Stop) << full;
        EXPECT_EQ(calls, 2) << full;
        EXPECT_EQ(sync.checksummed.size(), full ? 0u : 2u);
    }
}

TEST_F(FileListSyncTest, UnchangedTreeReadsNoFile)
{
    firstSync();
    const std::string before = readFile("Files.lst");
    CountingSync sync;
    sync.syncWithDisk("Files.lst", "inst", false, false);
    EXPECT_TRUE(sync.checksummed.empty());
    EXPECT_TRUE(sync.newerItems.fileItems.empty() && sync.newerItems.folderItems.empty());
    EXPECT_TRUE(sync.olderItems.fileItems.empty() && sync.olderItems.folderItems.empty());
    sync.save();
    EXPECT_EQ(readFile("Files.lst"), before);

    // With checksums the scan reads every file, but nothing is read again.
    CountingSync full;
    full.syncWithDisk("Files.lst", "inst", true, false);
    EXPECT_TRUE(full.checksummed.empty());
    EXPECT_TRUE(full.newerItems.fileItems.empty());
}

TEST_F(FileListSyncTest, TimeMovesAndRecheckPatterns)
{
    firstSync();
    writeFile("inst/game.exe", "BINARY"); // same size
    setMtime("inst/game.exe", 1500000003);
    writeFile("inst/data/a.pak", "AAAA");
    setMtime("inst/data/a.pak", 1500000002);

    CountingSync sync;
    parseItemList(sync.recheckPatterns, "Always/\n", 0);
    sync.syncWithDisk("Files.lst", "inst", false, false);
    // 3 seconds: changed and read; 2 seconds: taken as unchanged (stale checksum kept).
    EXPECT_EQ(sync.checksummed, (std::vector<std::string>{"inst/always/config.cfg", "inst/game.exe"}));
    EXPECT_EQ(sync.getFileInfo("game.exe", false).time, 1500000003);
    EXPECT_EQ(sync.newerItems.count, 1u);    // game.exe
    EXPECT_EQ(sync.newerItems.countAdd, 2u); // always and its file, cut out before the comparison
    CFileList fresh;
    fresh.scan("inst", true);
    const FileInfo now = fresh.getFileInfo("game.exe", false);
    EXPECT_TRUE(entriesEqual(sync.getFileInfo("game.exe", false), now, 7));
    EXPECT_FALSE(
        entriesEqual(sync.getFileInfo("data/a.pak", false), fresh.getFileInfo("data/a.pak", false), 3));

    // The recheck pattern reads the folder's files every time.
    sync.save();
    CountingSync again;
    parseItemList(again.recheckPatterns, "Always/\n", 0);
    again.syncWithDisk("Files.lst", "inst", false, false);
    EXPECT_EQ(again.checksummed, (std::vector<std::string>{"inst/always/config.cfg"}));
}

TEST_F(FileListSyncTest, DeletedFolderLeavesInnerFirst)
{
    firstSync();
    std::filesystem::remove_all("inst/data/maps");
    CountingSync sync;
    sync.syncWithDisk("Files.lst", "inst", false, false);
    EXPECT_EQ(sync.fileCount, 3u);
    EXPECT_EQ(sync.folderCount, 2u);
    EXPECT_EQ(sync.totalSize, 6u + 4u + 3u);
    std::vector<std::string> removed;
    for (const auto& item : sync.olderItems.folderItems)
        removed.push_back(item.path);
    EXPECT_EQ(removed, (std::vector<std::string>{"data/maps", "data/maps/deep"}));
    EXPECT_EQ(imageOf(sync), freshImage());
}

TEST_F(FileListSyncTest, FileAndFolderSwappingPlacesRecovers)
{
    firstSync();
    // game.exe becomes a folder, data/maps becomes a file.
    std::filesystem::remove("inst/game.exe");
    writeFile("inst/game.exe/inner.txt", "in");
    std::filesystem::remove_all("inst/data/maps");
    writeFile("inst/data/maps", "now a file");

    CountingSync sync;
    sync.syncWithDisk("Files.lst", "inst", false, false);
    EXPECT_EQ(imageOf(sync), freshImage());
    sync.save();
    // And the next run finds nothing to do.
    CountingSync next;
    next.syncWithDisk("Files.lst", "inst", false, false);
    EXPECT_TRUE(next.checksummed.empty());
    EXPECT_TRUE(next.newerItems.fileItems.empty() && next.olderItems.folderItems.empty());
}

TEST_F(FileListSyncTest, SaveNeedsAPath)
{
    CFileListSync sync;
    sync.updateFileInfo("x", fileInfo(1));
    sync.save();
    for (const auto& entry : std::filesystem::directory_iterator("."))
        EXPECT_NE(entry.path().extension(), ".lst");
    sync.save("other.lst");
    EXPECT_EQ(sync.listPath, "other.lst");
    EXPECT_EQ(readFile("other.lst").size(), 32u + 38u);
    sync.updateFileInfo("y", fileInfo(1));
    sync.save();
    EXPECT_EQ(readFile("other.lst").size(), 32u + 38u + 38u);
}
