#include <gtest/gtest.h>

#include <filesystem>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileListTestUtil.h"

namespace
{
using enum ChangeKind;

class FileListPrintTest : public ListLogTest
{
};

FileChange& addItem(ChangeList& c, const char* path, uint32_t size, uint32_t flags, ChangeKind kind)
{
    c.addFile(path, fileInfo(size, 0, flags), kind, "");
    return c.fileItems.back();
}

void addFolderItem(ChangeList& c, const char* path, ChangeKind kind = Add)
{
    c.addFolder(path, FolderMap{}, kind);
}
} // namespace

TEST_F(FileListPrintTest, LineFormats)
{
    ChangeList c;
    FileChange& summed = addItem(c, "readme.txt", 12, FI_CHECKSUM, Add);
    summed.info.checksum[0] = 0x98500190;
    summed.info.checksum[3] = 0x1;
    FileChange& plain = addItem(c, "sub/x.bin", 1234567, 0, Mod);
    plain.info.time = 1000000000; // 01:46:40 09.09.2001 UTC
    addItem(c, "old.dat", 1, 0, Old);
    FileChange& odd = addItem(c, "odd", 2, 0, Old);
    odd.kind = ChangeKind(7);
    CFileList tree;
    tree.updateFileInfo("f1", fileInfo(1));
    tree.updateFileInfo("f2/", folderInfo());
    c.addFolder("gfx", tree.root, Add);
    c.addFolder("zzz", FolderMap{}, ChangeKind(3));

    print(c, "Items to download", 7);
    EXPECT_EQ(consoleText(),
              "Items to download\n"
              "  2 files, Add: gfx\n"
              "  0 files, Unk: zzz\n"
              "     12b 98500190 00000000 00000000 00000001 00:00:00 01.01.1970 Add: readme.txt\n"
              "1234567b no CRC   01:46:40 09.09.2001 Mod: sub/x.bin\n"
              "      1b no CRC   00:00:00 01.01.1970 Old: old.dat\n");

    printFiles(c, KIND_MOD);
    EXPECT_EQ(consoleText(), "1234567b no CRC   01:46:40 09.09.2001 Mod: sub/x.bin\n");
    printFiles(c, 0);
    printFiles(ChangeList(), 7);
    printFolders(ChangeList());
    EXPECT_EQ(consoleText(), "No files\nNo files\nNo folders\n");
    print(ChangeList(), nullptr, 4);
    EXPECT_EQ(consoleText(), "No folders\nNo files\n");
}

TEST_F(FileListPrintTest, CreateAndDeleteInOrder)
{
    ChangeList c;
    addFolderItem(c, "a");
    addFolderItem(c, "a/b");
    std::filesystem::create_directory("root");
    createFolders(c, "root");
    EXPECT_TRUE(std::filesystem::is_directory("root/a/b"));
    createFolders(c, "root"); // existing folders are no error
    ChangeList orphan;
    addFolderItem(orphan, "none/x");
    EXPECT_THROW(createFolders(orphan, "root"), CSystemExcep);

    writeFile("root/a/b/add.txt", "x");
    writeFile("root/a/mod.txt", "x");
    writeFile("root/a/ro.txt", "x");
    std::error_code ignored;
    std::filesystem::permissions("root/a/ro.txt", std::filesystem::perms(0444), ignored);
    std::filesystem::permissions("root/a", std::filesystem::perms(0755), ignored);
    addItem(c, "a/b/add.txt", 1, 0, Add);
    addItem(c, "a/mod.txt", 1, 0, Mod);
    addItem(c, "a/ro.txt", 1, 0, Add);
    deleteFiles(c, "root", KIND_ADD, false);
    EXPECT_FALSE(std::filesystem::exists("root/a/b/add.txt"));
    EXPECT_FALSE(std::filesystem::exists("root/a/ro.txt"));
    EXPECT_TRUE(std::filesystem::exists("root/a/mod.txt"));

    // Already gone: an error, or a line with ignoreErrors.
    EXPECT_THROW(deleteFiles(c, "root", KIND_ADD, false), CSystemExcep);
    consoleText();
    deleteFiles(c, "root", KIND_ADD, true);
    EXPECT_EQ(consoleText(), "Could not delete file 'root/a/b/add.txt' !\n"
                             "Could not delete file 'root/a/ro.txt' !\n");

    // Inner folders go first; a folder that still holds a file stays.
    deleteFolders(c, "root", true);
    EXPECT_FALSE(std::filesystem::exists("root/a/b"));
    EXPECT_TRUE(std::filesystem::exists("root/a"));
    EXPECT_EQ(consoleText(), "Could not delete directory 'root/a' !\n");
    EXPECT_THROW(deleteFolders(c, "root", false), CSystemExcep);
    std::filesystem::remove("root/a/mod.txt");
    ChangeList onlyA;
    addFolderItem(onlyA, "a");
    deleteFolders(onlyA, "root", false);
    EXPECT_FALSE(std::filesystem::exists("root/a"));
}
