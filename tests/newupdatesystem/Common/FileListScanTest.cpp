#include <gtest/gtest.h>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/FileListTestUtil.h"
#include "platform/Files.h"
#include "support/PlatformSkip.h"

namespace
{
void setMtime(const std::string& path, int64_t t)
{
    ASSERT_EQ(platform::setFileTime(path.c_str(), t), 0);
}

class FileListScanTest : public ListLogTest
{
};
} // namespace

TEST_F(FileListScanTest, ScanLowerCasesAndAppliesBuiltInExclusions)
{
    SKIP_ON_WINDOWS("a file and a folder whose names differ only in case");
    writeFile("inst/Readme.TXT", "hello");
    writeFile("inst/setup.LOG", "x");
    writeFile("inst/.log", "x");
    writeFile("inst/log", "xy");
    writeFile("inst/.svn", "file, not folder");
    writeFile("inst/.SVN/entries", "x");
    writeFile("inst/_svn/entries", "x");
    writeFile("inst/Maps/Level1.MAP", "1234");
    std::filesystem::create_directories("inst/Maps/.LOG");
    setMtime("inst/Maps/Level1.MAP", 1000000000);

    RecordingList list;
    list.scan("inst", false);
    EXPECT_EQ(list.fileCount, 4u);   // readme.txt, log, .svn, maps/level1.map
    EXPECT_EQ(list.folderCount, 2u); // maps, maps/.log
    EXPECT_EQ(list.totalSize, 5u + 2u + 16u + 4u);
    const FileInfo map = list.getFileInfo("maps/level1.map", false);
    EXPECT_EQ(map.size, 4u);
    EXPECT_EQ(map.time, 1000000000);
    EXPECT_EQ(map.flags, 0u); // no checksum asked for
    EXPECT_EQ(list.getFileInfo("maps/.log/", true).flags, FI_FOLDER);
    EXPECT_TRUE(list.root.count("readme.txt"));
    EXPECT_FALSE(list.root.count("setup.log"));

    ASSERT_GE(list.events.size(), 2u);
    EXPECT_EQ(list.events.front().code, uint32_t(LE_SCAN_STARTED));
    EXPECT_EQ(list.events.back().code, uint32_t(LE_SCAN_FINISHED));
    EXPECT_EQ(list.events.back().path, "inst");
    EXPECT_EQ(list.countOf(LE_CHECKSUM), 0u);
    const std::string log = logFileText();
    EXPECT_NE(log.find("Scanning 'inst' started\n"), std::string::npos);
    EXPECT_NE(log.find("Scanning 'inst' finished\n"), std::string::npos);

    // A second scan replaces the contents.
    std::filesystem::remove_all("inst/Maps");
    list.scan("inst", false);
    EXPECT_EQ(list.fileCount, 3u);
    EXPECT_EQ(list.folderCount, 0u);
}

TEST_F(FileListScanTest, ChecksumsFilesBeforeEnteringSubFolders)
{
    writeFile("d/abc.txt", "abc");
    writeFile("d/empty.bin", "");
    writeFile("d/a/inner.txt", "");
    RecordingList list;
    list.scan("d", true);
    EXPECT_EQ(list.events.front().code, uint32_t(LE_CRC_SCAN_STARTED));

    const FileInfo abc = list.getFileInfo("abc.txt", false);
    EXPECT_EQ(abc.flags, FI_CHECKSUM);
    // MD5("abc") = 90015098 3cd24fb0 d6963f7d 28e17f72, read as little-endian words.
    EXPECT_EQ(abc.checksum[0], 0x98500190u);
    EXPECT_EQ(abc.checksum[1], 0xb04fd23cu);
    EXPECT_EQ(abc.checksum[2], 0x7d3f96d6u);
    EXPECT_EQ(abc.checksum[3], 0x727fe128u);
    const FileInfo empty = list.getFileInfo("empty.bin", false);
    EXPECT_EQ(empty.flags, FI_CHECKSUM);
    EXPECT_EQ(empty.checksum[0] | empty.checksum[1] | empty.checksum[2] | empty.checksum[3], 0u);

    std::vector<std::string> order;
    for (const auto& e : list.events)
    {
        if (e.code == LE_CHECKSUM)
            order.push_back(e.path);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"d/abc.txt", "d/empty.bin", "d/a/inner.txt"}));
    EXPECT_NE(logFileText().find("CRC scanning 'd' started\n"), std::string::npos);

    // The disk is read under its own spelling; the list holds lower case.
    writeFile("Mixed/Sub/File.TXT", "abc");
    list.events.clear();
    list.scan("Mixed", true);
    EXPECT_EQ(list.getFileInfo("sub/file.txt", false).checksum[0], 0x98500190u);
    ASSERT_EQ(list.countOf(LE_CHECKSUM), 1u);
    EXPECT_EQ(list.events[1].path, "Mixed/Sub/File.TXT");
}

TEST_F(FileListScanTest, UnlistableNamesAreSkippedWithAWarning)
{
    SKIP_ON_WINDOWS("a backslash separates there, and names differ only in case");
    const std::string longName(200, 'n');
    writeFile("d/" + longName, "x");
    writeFile("d/back\\slash.txt", "x");
    writeFile("d/ok.txt", "x");
    CFileList list;
    list.scan("d", true);
    EXPECT_EQ(list.fileCount, 1u);
    EXPECT_TRUE(list.root.count("ok.txt"));
    const std::string console = consoleText();
    EXPECT_NE(console.find("Skipped 'd/" + longName + "': name longer than 127 characters"),
              std::string::npos);
    EXPECT_NE(console.find("Skipped 'd/back\\slash.txt': name holds a backslash"), std::string::npos);

    // Two names that differ only in case: the lower-case one is described.
    writeFile("c/Same.txt", "1");
    writeFile("c/same.txt", "22");
    writeFile("c/SAME.txt", "333");
    list.scan("c", false);
    EXPECT_EQ(list.fileCount, 1u);
    EXPECT_EQ(list.getFileInfo("same.txt", false).size, 2u);
    EXPECT_EQ(list.totalSize, 2u);
}

TEST_F(FileListScanTest, FailuresCarryTheirCodes)
{
    CFileList list;
    try
    {
        list.scan("missing", false);
        FAIL() << "no exception";
    }
    catch (const CSystemExcep& e)
    {
        EXPECT_EQ(e.code, FIND_FIRST);
        EXPECT_EQ(e.kind, EK_ERRNO);
        EXPECT_EQ(e.subject, "missing/*.*");
        EXPECT_STREQ(e.function, "CFileList::scanRecursive");
    }
    FileInfo info = fileInfo(5);
    try
    {
        CFileList::checksumFile(info, "nothing.bin");
        FAIL() << "no exception";
    }
    catch (const CSystemExcep& e)
    {
        EXPECT_EQ(e.code, FILE_OPEN);
    }
    // The file as it is now is digested, whatever size was recorded.
    writeFile("short.bin", "abc");
    CFileList::checksumFile(info, "short.bin");
    EXPECT_EQ(info.checksum[0], 0x98500190u);
    // The recorded size 0 never opens the file.
    info.size = 0;
    CFileList::checksumFile(info, "nothing.bin");
    EXPECT_EQ(info.flags, FI_CHECKSUM);
}
