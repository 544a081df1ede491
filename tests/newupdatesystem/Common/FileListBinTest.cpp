#include <gtest/gtest.h>

#include <cstring>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/FileListTestUtil.h"

namespace
{
// Builds list bytes by hand, so that the reader meets layouts our writer
// would never produce.
struct Bytes
{
    std::vector<uint8_t> b;

    Bytes& u32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            b.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    Bytes& tag(const char* t)
    {
        return u32(uint32_t(uint8_t(t[0])) | uint32_t(uint8_t(t[1])) << 8 | uint32_t(uint8_t(t[2])) << 16 |
                   uint32_t(uint8_t(t[3])) << 24);
    }
    Bytes& header(uint32_t files, uint32_t folders, uint64_t size, uint32_t version = 102)
    {
        return tag("List").u32(version).u32(files).u32(folders).u32(uint32_t(size)).u32(uint32_t(size >> 32));
    }
    Bytes& fold(uint32_t count) { return tag("Fold").u32(count); }
    // sumStart >= 0: checksum bytes sumStart, sumStart + 1, ...; else zero.
    Bytes& record(const std::string& name, uint32_t size, uint32_t flags, uint32_t time = 0,
                  int sumStart = -1)
    {
        tag("File").u32(size);
        for (int i = 0; i < 16; ++i)
            b.push_back(sumStart < 0 ? 0 : uint8_t(sumStart + i));
        u32(time).u32(flags).u32(uint32_t(name.size()));
        b.insert(b.end(), name.begin(), name.end());
        b.push_back(0);
        return *this;
    }
    // A version 103 record: the size takes 64 bits.
    Bytes& wideRecord(const std::string& name, uint64_t size, uint32_t flags, uint32_t time = 0)
    {
        tag("File").u32(uint32_t(size)).u32(uint32_t(size >> 32));
        b.insert(b.end(), 16, 0);
        u32(time).u32(flags).u32(uint32_t(name.size()));
        b.insert(b.end(), name.begin(), name.end());
        b.push_back(0);
        return *this;
    }
};

int32_t parseCode(CFileList& list, const std::vector<uint8_t>& bytes)
{
    try
    {
        list.createFromBin(bytes.data(), uint32_t(bytes.size()));
    }
    catch (const CFileListExcep& e)
    {
        EXPECT_EQ(list.root.size(), 0u);
        EXPECT_EQ(list.fileCount + list.folderCount, 0u);
        EXPECT_EQ(list.totalSize, 0u);
        return e.code;
    }
    return -1;
}

// A list holding one file, so a failed parse visibly empties it.
void fill(CFileList& list)
{
    list.clear();
    list.updateFileInfo("keep.bin", fileInfo(9));
}
} // namespace

TEST(FileListBin, EmptyAndOneFileListsAreByteExact)
{
    CFileList list;
    list.buildBin();
    EXPECT_EQ(list.image(), Bytes().header(0, 0, 0).fold(0).b);
    ASSERT_EQ(list.imageSize(), 32u);
    fill(list);
    const std::vector<uint8_t> empty = Bytes().header(0, 0, 0).fold(0).b;
    list.createFromBin(empty.data(), uint32_t(empty.size()));
    EXPECT_TRUE(list.root.empty());

    FileInfo info = fileInfo(3, 0x12345678, FI_CHECKSUM);
    for (uint32_t i = 0; i < 4; ++i)
        info.checksum[i] = 0x03020100u + 0x04040404u * i; // digest bytes 00 01 02 ... 0f
    list.updateFileInfo("a.txt", info);
    list.buildBin();
    const std::vector<uint8_t> expected =
        Bytes().header(1, 0, 3).fold(1).record("a.txt", 3, 0, 0x12345678, 0).b;
    ASSERT_EQ(expected.size(), 74u);
    EXPECT_EQ(list.image(), expected);
}

TEST(FileListBin, RoundTripKeepsTreeAndCounters)
{
    CFileList list;
    list.updateFileInfo("data/maps/", folderInfo());
    list.updateFileInfo("data/maps/m1.bin", fileInfo(100, 1000, FI_CHECKSUM | 0x100));
    list.updateFileInfo("data/z.txt", fileInfo(5, 7));
    list.updateFileInfo("Zeta.exe", fileInfo(0x80000000u, 0xFFFFFFF0));
    list.updateFileInfo("b/", fileInfo(0, 0, FI_FOLDER | FI_NOCOMPARE));
    list.buildBin();

    CFileList back;
    back.createFromBin(list.image().data(), list.imageSize());
    EXPECT_EQ(back.fileCount, 3u);
    EXPECT_EQ(back.folderCount, 3u);
    EXPECT_EQ(back.totalSize, 0x80000000u + 105u);
    const FileInfo m1 = back.getFileInfo("data/maps/m1.bin", false);
    EXPECT_EQ(m1.size, 100u);
    EXPECT_EQ(m1.flags, FI_CHECKSUM | 0x100);
    // Times above 0x7FFFFFFF come back positive, not sign-extended.
    EXPECT_EQ(back.getFileInfo("zeta.exe", false).time, int64_t(0xFFFFFFF0));
    EXPECT_EQ(back.getFileInfo("b/", true).flags, FI_FOLDER | FI_NOCOMPARE);
    back.buildBin();
    EXPECT_EQ(back.image(), list.image());
}

TEST(FileListBin, HeaderDefectsHaveTheirCodes)
{
    CFileList list;
    const std::vector<uint8_t> good = Bytes().header(0, 0, 0).fold(0).b;

    fill(list);
    EXPECT_EQ(parseCode(list, std::vector<uint8_t>(good.begin(), good.begin() + 23)), FLIST_OPEN_NOT_A_LIST);
    EXPECT_EQ(parseCode(list, std::vector<uint8_t>(good.begin(), good.begin() + 24)), FLIST_OPEN_NOT_A_LIST);
    std::vector<uint8_t> magic = good;
    magic[0] = 'l';
    EXPECT_EQ(parseCode(list, magic), FLIST_OPEN_NOT_A_LIST);
    fill(list);
    EXPECT_EQ(parseCode(list, Bytes().header(0, 0, 0, 101).fold(0).b), FLIST_OPEN_VERSION);
    EXPECT_EQ(parseCode(list, Bytes().header(0x10001, 0, 0).fold(0).b), FLIST_OPEN_CORRUPTED);
    EXPECT_EQ(parseCode(list, Bytes().header(0, 0x4001, 0).fold(0).b), FLIST_OPEN_CORRUPTED);

    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    fill(list);
    EXPECT_EQ(parseCode(list, longer), FLIST_OPEN_CORRUPTED);
    // Counters that do not describe the records.
    EXPECT_EQ(parseCode(list, Bytes().header(2, 0, 3).fold(1).record("a", 3, 0).b), FLIST_OPEN_CORRUPTED);
    EXPECT_EQ(parseCode(list, Bytes().header(0, 0, 3).fold(1).record("a", 3, 0).b), FLIST_OPEN_CORRUPTED);
    EXPECT_EQ(parseCode(list, Bytes().header(1, 0, 4).fold(1).record("a", 3, 0).b), FLIST_OPEN_CORRUPTED);
    EXPECT_EQ(parseCode(list, Bytes().header(0, 1, 0).fold(1).record("d", 0, FI_FOLDER).b),
              FLIST_OPEN_NOT_A_LIST);
}

TEST(FileListBin, RecordLimitsAndFlags)
{
    CFileList list;
    EXPECT_EQ(parseCode(list, Bytes().header(1, 0, 0x80000000u).fold(1).record("big", 0x80000000u, 0).b), -1);
    EXPECT_EQ(parseCode(list, Bytes().header(1, 0, 0x80000001u).fold(1).record("big", 0x80000001u, 0).b),
              FLIST_OPEN_CORRUPTED);
    EXPECT_EQ(parseCode(list, Bytes().header(0, 0, 0).fold(1).record("", 0, 0).b), FLIST_OPEN_CORRUPTED);
    EXPECT_EQ(parseCode(list, Bytes().header(1, 0, 0).fold(1).record(std::string(128, 'n'), 0, 0).b),
              FLIST_OPEN_CORRUPTED);
    EXPECT_EQ(parseCode(list, Bytes().header(1, 0, 0).fold(1).record(std::string(127, 'n'), 0, 0).b), -1);
    EXPECT_EQ(parseCode(list, Bytes().header(0, 0, 0).fold(0x10001).b), FLIST_OPEN_CORRUPTED);

    // On disk a file's flags lack FI_CHECKSUM or carry it; in memory it is always set.
    const auto flags = Bytes()
                           .header(2, 1, 0)
                           .fold(3)
                           .record("d", 0, FI_FOLDER | FI_CHECKSUM | FI_NOCOMPARE)
                           .record("f0", 0, 0, 0, 0)
                           .record("f2", 0, FI_CHECKSUM | 8)
                           .fold(0)
                           .b;
    ASSERT_EQ(parseCode(list, flags), -1);
    EXPECT_EQ(list.getFileInfo("f0", false).flags, FI_CHECKSUM);
    EXPECT_EQ(list.getFileInfo("f2", false).flags, FI_CHECKSUM | 8);
    EXPECT_EQ(list.getFileInfo("d", false).flags, FI_FOLDER | FI_CHECKSUM | FI_NOCOMPARE);
    list.buildBin();
    // Folder records are written with a zero checksum; file records keep theirs.
    const auto expected = Bytes()
                              .header(2, 1, 0)
                              .fold(3)
                              .record("d", 0, FI_FOLDER | FI_CHECKSUM | FI_NOCOMPARE)
                              .record("f0", 0, 0, 0, 0)
                              .record("f2", 0, 8)
                              .fold(0)
                              .b;
    EXPECT_EQ(list.image(), expected);
}

// A file too large for version 102 makes the whole list version 103, whose
// records carry 64-bit sizes; it reads back, and its limits hold too.
TEST(FileListBin, FilesBeyondTwoGiBMakeAWideList)
{
    CFileList list;
    FileInfo small;
    small.size = 5;
    FileInfo huge;
    huge.size = (uint64_t(5) << 30) + 3;
    huge.time = 77;
    FileInfo folder;
    folder.flags = FI_FOLDER;
    list.updateFileInfo("a.bin", small);
    list.updateFileInfo("d/", folder);
    list.updateFileInfo("d/huge.bin", huge);
    list.buildBin();
    const auto expected = Bytes()
                              .header(2, 1, huge.size + 5, 103)
                              .fold(2)
                              .wideRecord("a.bin", 5, 0)
                              .wideRecord("d", 0, FI_FOLDER)
                              .fold(1)
                              .wideRecord("huge.bin", huge.size, 0, 77)
                              .b;
    EXPECT_EQ(list.image(), expected);
    CFileList back;
    ASSERT_EQ(parseCode(back, list.image()), -1);
    EXPECT_EQ(back.getFileInfo("d/huge.bin", false).size, huge.size);
    EXPECT_EQ(back.totalSize, huge.size + 5);

    // Without it the list is version 102 again.
    list.remove("d/huge.bin");
    list.buildBin();
    EXPECT_EQ(list.image()[4], 102);

    EXPECT_EQ(
        parseCode(back,
                  Bytes().header(1, 0, kMaxWideFileSize, 103).fold(1).wideRecord("x", kMaxWideFileSize, 0).b),
        -1);
    EXPECT_EQ(parseCode(back, Bytes()
                                  .header(1, 0, kMaxWideFileSize + 1, 103)
                                  .fold(1)
                                  .wideRecord("x", kMaxWideFileSize + 1, 0)
                                  .b),
              FLIST_OPEN_CORRUPTED);
    // A 102 record read as 103 is four bytes short.
    EXPECT_EQ(parseCode(back, Bytes().header(1, 0, 9, 103).fold(1).record("x", 9, 0).b),
              FLIST_OPEN_CORRUPTED);
    EXPECT_EQ(parseCode(back, Bytes().header(0, 0, 0, 104).fold(0).b), FLIST_OPEN_VERSION);
}

TEST(FileListBin, SubFolderBlocksAreAssignedByNameOrder)
{
    // Blocks written b first: the reader gives them to a and b by position.
    const auto bytes = Bytes()
                           .header(2, 2, 3)
                           .fold(2)
                           .record("b", 0, FI_FOLDER)
                           .record("a", 0, FI_FOLDER)
                           .fold(1)
                           .record("inb", 1, 0)
                           .fold(1)
                           .record("ina", 2, 0)
                           .b;
    CFileList list;
    ASSERT_EQ(parseCode(list, bytes), -1);
    EXPECT_EQ(list.getFileInfo("a/inb", false).size, 1u);
    EXPECT_EQ(list.getFileInfo("b/ina", false).size, 2u);
    // The writer follows name order, depth first, parent before children.
    list.clear();
    list.updateFileInfo("b/c/", folderInfo());
    list.updateFileInfo("a/", folderInfo());
    list.updateFileInfo("b/c/x", fileInfo(1));
    list.buildBin();
    const auto written = Bytes()
                             .header(1, 3, 1)
                             .fold(2)
                             .record("a", 0, FI_FOLDER)
                             .record("b", 0, FI_FOLDER)
                             .fold(0)
                             .fold(1)
                             .record("c", 0, FI_FOLDER)
                             .fold(1)
                             .record("x", 1, 0)
                             .b;
    EXPECT_EQ(list.image(), written);
}

TEST(FileListBin, HostileNamesAndShapesAreRejected)
{
    CFileList list;
    for (const std::string name : {".", "..", "a/b", "..\\x", "/", "\\"})
    {
        fill(list);
        EXPECT_EQ(parseCode(list, Bytes().header(1, 0, 0).fold(1).record(name, 0, 0).b), FLIST_OPEN_CORRUPTED)
            << name;
        fill(list);
        EXPECT_EQ(parseCode(list, Bytes().header(0, 1, 0).fold(1).record(name, 0, FI_FOLDER).fold(0).b),
                  FLIST_OPEN_CORRUPTED)
            << name;
    }
    // A zero inside the name would make it shorter than recorded.
    EXPECT_EQ(parseCode(list, Bytes().header(1, 0, 0).fold(1).record(std::string("a\0b", 3), 0, 0).b),
              FLIST_OPEN_CORRUPTED);
    // The same name twice.
    EXPECT_EQ(parseCode(list, Bytes().header(2, 0, 0).fold(2).record("x", 0, 0).record("x", 0, 0).b),
              FLIST_OPEN_CORRUPTED);
    // Records beyond what the header announces stop the parse early.
    Bytes many;
    many.header(1, 0, 0).fold(1000);
    for (int i = 0; i < 1000; ++i)
        many.record("f" + std::to_string(i), 0, 0);
    EXPECT_EQ(parseCode(list, many.b), FLIST_OPEN_CORRUPTED);
    // Nesting deeper than any 511-character path could reach.
    Bytes deep;
    deep.header(0, 300, 0);
    for (int i = 0; i < 300; ++i)
        deep.fold(1).record("d", 0, FI_FOLDER);
    deep.fold(0);
    EXPECT_EQ(parseCode(list, deep.b), FLIST_OPEN_CORRUPTED);
}

class FileListFileTest : public ListLogTest
{
};

TEST_F(FileListFileTest, SaveAndLoadRaiseEventsAndLogToFileOnly)
{
    RecordingList list;
    list.updateFileInfo("one.txt", fileInfo(1));
    list.buildBin();
    list.saveToFile("Files.lst");
    EXPECT_EQ(readFile("Files.lst").size(), 32u + 44u);

    RecordingList back;
    back.createFromFile("Files.lst");
    EXPECT_EQ(back.fileCount, 1u);
    ASSERT_EQ(back.countOf(LE_READING), 1u);
    EXPECT_EQ(list.events.back().path, "Files.lst");
    EXPECT_EQ(list.events.back().code, uint32_t(LE_WRITING));
    const std::string file = logFileText();
    EXPECT_NE(file.find("Writing Files.lst\n"), std::string::npos);
    EXPECT_NE(file.find("Reading Files.lst\n"), std::string::npos);
    EXPECT_EQ(consoleText(), "");

    try
    {
        back.createFromFile("missing.lst");
        FAIL() << "no exception";
    }
    catch (const CSystemExcep& e)
    {
        EXPECT_EQ(e.code, FILE_OPEN);
    }
    writeFile("bad.lst", "List");
    EXPECT_THROW(back.createFromFile("bad.lst"), CFileListExcep);
    EXPECT_EQ(back.fileCount, 0u);
}
