#include <gtest/gtest.h>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/FileListTestUtil.h"

namespace
{
template <typename F> int32_t listCode(F f)
{
    try
    {
        f();
    }
    catch (const CFileListExcep& e)
    {
        return e.code;
    }
    return -1;
}

void expectCounters(const CFileList& list, uint32_t files, uint32_t folders, uint64_t size)
{
    EXPECT_EQ(list.fileCount, files);
    EXPECT_EQ(list.folderCount, folders);
    EXPECT_EQ(list.totalSize, size);
}
} // namespace

TEST(FileList, GetFileInfoFollowsPathRules)
{
    CFileList list;
    list.updateFileInfo("a/b/", folderInfo());
    list.updateFileInfo("a/f", fileInfo(4));
    list.updateFileInfo("A\\B\\G.TXT", fileInfo(6));

    EXPECT_TRUE(list.getFileInfo("a/b", false).flags & FI_FOLDER);
    EXPECT_EQ(listCode([&] { list.getFileInfo("a/b/", false); }), FLIST_NOT_FOUND);
    EXPECT_TRUE(list.getFileInfo("a/b/", true).flags & FI_FOLDER);
    EXPECT_EQ(listCode([&] { list.getFileInfo("a/f/c", false); }), FLIST_NOT_FOUND);
    EXPECT_EQ(listCode([&] { list.getFileInfo("a/f/", true); }), FLIST_NOT_FOUND);
    EXPECT_EQ(listCode([&] { list.getFileInfo("a//b", false); }), FLIST_WRONG_FNAME);
    EXPECT_EQ(listCode([&] { list.getFileInfo("/a", false); }), FLIST_WRONG_FNAME);
    EXPECT_EQ(listCode([&] { list.getFileInfo("a/x", false); }), FLIST_NOT_FOUND);
    EXPECT_EQ(list.getFileInfo("a/B/g.txt", false).size, 6u); // lookups lower-case
    EXPECT_EQ(listCode([&] { list.getFileInfo(("a/" + std::string(128, 'x')).c_str(), false); }),
              FLIST_WRONG_FNAME);

    // A name with capitals (from a list) cannot be reached by path.
    list.root.try_emplace("Caps", FileEntry{});
    EXPECT_EQ(listCode([&] { list.getFileInfo("Caps", false); }), FLIST_NOT_FOUND);
}

TEST(FileList, UpdateFileInfoKeepsCountersAndRefusesWrongKinds)
{
    RecordingList list;
    list.updateFileInfo("x/y/z/", fileInfo(0, 0, FI_FOLDER | FI_CHECKSUM | 0x40));
    expectCounters(list, 0, 3, 0);
    EXPECT_EQ(list.getFileInfo("x/y/", true).flags, FI_FOLDER | 0x40);
    EXPECT_EQ(list.countOf(LE_UPDATE), 1u);

    EXPECT_EQ(listCode([&] { list.updateFileInfo("q/file", fileInfo(1)); }), FLIST_UPDATE_FILE);
    expectCounters(list, 0, 3, 0);

    FileInfo sum = fileInfo(10, 5, FI_CHECKSUM | FI_FOLDER);
    sum.checksum[0] = 0xAABBCCDD;
    EXPECT_EQ(listCode([&] { list.updateFileInfo("x/f", sum); }),
              FLIST_UPDATE_FILE); // folder info, file path
    sum.flags = FI_CHECKSUM;
    list.updateFileInfo("x/f", sum);
    expectCounters(list, 1, 3, 10);
    EXPECT_EQ(list.getFileInfo("x/f", false).checksum[0], 0xAABBCCDDu);

    // Without FI_CHECKSUM the stored checksum is cleared; a smaller size lowers the total.
    list.updateFileInfo("X/F", fileInfo(4, 9));
    expectCounters(list, 1, 3, 4);
    EXPECT_EQ(list.getFileInfo("x/f", false).checksum[0], 0u);

    EXPECT_EQ(listCode([&] { list.updateFileInfo("x/f/", folderInfo()); }), FLIST_UPDATE_FILE);
    EXPECT_EQ(listCode([&] { list.updateFileInfo("x/f/g", fileInfo(1)); }), FLIST_UPDATE_FILE);
    EXPECT_EQ(listCode([&] { list.updateFileInfo("x/y", fileInfo(1)); }), FLIST_UPDATE_FILE);
    // Existing folders keep their flags.
    list.updateFileInfo("x/y/", fileInfo(0, 0, FI_FOLDER | FI_NOCOMPARE));
    EXPECT_EQ(list.getFileInfo("x/y/", true).flags, FI_FOLDER | 0x40);
    // Folders made on the way stay when the update fails further on.
    EXPECT_EQ(listCode([&] { list.updateFileInfo("n/m//", folderInfo()); }), FLIST_WRONG_FNAME);
    EXPECT_EQ(list.folderCount, 5u);
    // Names no list reader would accept are never entered.
    for (const char* bad : {"", "x/./f", "../f", "x/../", "x//b"})
        EXPECT_EQ(listCode([&] { list.updateFileInfo(bad, fileInfo(1)); }), FLIST_WRONG_FNAME) << bad;
    expectCounters(list, 1, 5, 4);
}

TEST(FileList, RemoveTakesSubtreesAndChecksKinds)
{
    RecordingList list;
    list.updateFileInfo("data/sub/deep/", folderInfo());
    list.updateFileInfo("data/a", fileInfo(10));
    list.updateFileInfo("data/sub/b", fileInfo(20));
    list.updateFileInfo("data/sub/deep/c", fileInfo(30));
    list.updateFileInfo("top", fileInfo(1));
    expectCounters(list, 4, 3, 61);

    EXPECT_EQ(listCode([&] { list.remove("data"); }), FLIST_REMOVE_FILE);
    EXPECT_EQ(listCode([&] { list.remove("top/"); }), FLIST_REMOVE_FILE);
    EXPECT_EQ(listCode([&] { list.remove("data/none"); }), FLIST_REMOVE_FILE);
    EXPECT_EQ(listCode([&] { list.remove("data//a"); }), FLIST_WRONG_FNAME);
    expectCounters(list, 4, 3, 61);

    list.remove("DATA/sub/B");
    expectCounters(list, 3, 3, 41);
    list.remove("data/");
    expectCounters(list, 1, 0, 1);
    EXPECT_EQ(list.root.size(), 1u);
    EXPECT_EQ(list.countOf(LE_REMOVE), 6u);
    EXPECT_EQ(list.events.back().path, "data/");
}

TEST(FileList, ModifyRecursiveSetsFlagsOfMatchingEntries)
{
    CFileList list;
    list.updateFileInfo("cfg/", folderInfo());
    list.updateFileInfo("cfg/a.ini", fileInfo(1, 0, 0x10));
    list.updateFileInfo("cfg/b.txt", fileInfo(1, 0, 0x10));
    list.updateFileInfo("c.ini", fileInfo(1, 0, 0x10));
    const char* pattern = "*/*.INI";
    PathTokenizer tokenizer(pattern, false);
    list.modifyRecursive(list.root, tokenizer, false, FI_NOCOMPARE, ~0x10u);
    EXPECT_EQ(list.getFileInfo("cfg/a.ini", false).flags, FI_NOCOMPARE);
    EXPECT_EQ(list.getFileInfo("cfg/b.txt", false).flags, 0x10u);
    EXPECT_EQ(list.getFileInfo("c.ini", false).flags, 0x10u);
    expectCounters(list, 3, 1, 3);
}

TEST(FileList, LowerCaseNamesMergesSpellingsAndKeepsCounters)
{
    // Built by hand: the path operations would lower-case the names themselves.
    CFileList list;
    auto file = [](uint32_t size)
    {
        FileEntry e;
        e.size = size;
        return e;
    };
    auto folder = []
    {
        FileEntry e;
        e.flags = FI_FOLDER;
        e.child = std::make_unique<FolderMap>();
        return e;
    };
    list.root.try_emplace("A.txt", file(1));
    list.root.try_emplace("a.txt", file(2));
    list.root.try_emplace("B.TXT", file(3));
    list.root.try_emplace("b.Txt", file(4));
    auto& sub = *list.root.try_emplace("Sub", folder()).first->second.child;
    sub.try_emplace("X.Bin", file(5));
    list.root.try_emplace("sub", folder()).first->second.child->try_emplace("y", file(6));
    list.fileCount = 6;
    list.folderCount = 2;
    list.totalSize = 21;

    EXPECT_EQ(3u, list.lowerCaseNames());
    // The lower-case spelling wins; otherwise the first in byte order.
    EXPECT_EQ(2u, list.getFileInfo("a.txt", false).size);
    EXPECT_EQ(3u, list.getFileInfo("b.txt", false).size);
    EXPECT_EQ(6u, list.getFileInfo("sub/y", false).size);
    EXPECT_EQ(nullptr, list.findEntry("sub/x.bin"));
    EXPECT_EQ(3u, list.fileCount);
    EXPECT_EQ(1u, list.folderCount);
    EXPECT_EQ(11u, list.totalSize);
    EXPECT_EQ(3u, list.root.size());
}
