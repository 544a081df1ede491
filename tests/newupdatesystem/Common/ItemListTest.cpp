#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/FileListTestUtil.h"

namespace
{
struct Patterns
{
    std::vector<std::string> files;
    std::vector<std::string> folders;
};

Patterns parse(const std::string& text, bool files = true, bool folders = true)
{
    using Collect = ChangeList::Collect;
    ChangeList list(!folders ? Collect::FilesOnly : !files ? Collect::FoldersOnly : Collect::FilesAndFolders);
    parseItemList(list, text.data(), uint32_t(text.size()));
    Patterns p;
    for (const auto& item : list.fileItems)
        p.files.push_back(item.path);
    for (const auto& item : list.folderItems)
        p.folders.push_back(item.path);
    EXPECT_EQ(list.count + list.countAdd + list.totalSize, 0u);
    return p;
}

using Strings = std::vector<std::string>;
} // namespace

TEST(ItemList, ParsesLinesCommentsAndFolderMarks)
{
    const Patterns p = parse(";x\r\ncache/\r\nLogs\\\r\n*.TMP\r\n\r\nData\\Sub\\F.bin");
    EXPECT_EQ(p.folders, (Strings{"cache", "logs"}));
    EXPECT_EQ(p.files, (Strings{"*.tmp", "data/sub/f.bin"}));

    EXPECT_EQ(parse("a\nb/\n\nc").files, (Strings{"a", "c"}));
    EXPECT_EQ(parse("Always/\n").folders, (Strings{"always"}));
    EXPECT_TRUE(parse("a\nb/", false, true).files.empty());
    EXPECT_EQ(parse("a\nb/", false, true).folders, (Strings{"b"}));
    // A "\r\n" further on ends the line before a nearer lone "\n".
    EXPECT_EQ(parse("a\nb\r\nc\n").files, (Strings{"a\nb", "c"}));
    // Lines are not trimmed; a lone "\r" stays in the line.
    EXPECT_EQ(parse(" x \ny\r").files, (Strings{" x ", "y\r"}));
    // Overlong lines are cut at 511 characters.
    EXPECT_EQ(parse(std::string(600, 'p')).files.at(0).size(), 511u);

    // Length 0 reads up to the terminating zero; appending keeps what was there.
    ChangeList list;
    parseItemList(list, "one\n", 0);
    parseItemList(list, "two/\nthree", 0);
    EXPECT_EQ(list.fileItems.size(), 2u);
    EXPECT_EQ(list.folderItems.size(), 1u);
}

TEST(ItemList, ExcludeRemovesMatchesAndKeepsCounters)
{
    RecordingList list;
    list.updateFileInfo("cache/deep/", folderInfo());
    list.updateFileInfo("cache/deep/c.bin", fileInfo(100));
    list.updateFileInfo("cache/a.tmp", fileInfo(10));
    list.updateFileInfo("data/cache/", folderInfo());
    list.updateFileInfo("data/x.tmp", fileInfo(1));
    list.updateFileInfo("data/keep.bin", fileInfo(2));
    list.updateFileInfo("root.tmp", fileInfo(4));
    list.updateFileInfo("cachefile", fileInfo(8));

    ChangeList patterns;
    parseItemList(patterns, "Cache/\n*/*.TMP\n", 0);
    exclude(list, patterns);
    EXPECT_EQ(list.fileCount, 3u);   // data/keep.bin, root.tmp, cachefile
    EXPECT_EQ(list.folderCount, 2u); // data, data/cache
    EXPECT_EQ(list.totalSize, 14u);
    EXPECT_TRUE(list.findEntry("data/cache/"));
    EXPECT_FALSE(list.findEntry("data/x.tmp"));
    ASSERT_EQ(list.countOf(LE_EXCLUDE), 2u);
    EXPECT_EQ(list.events[list.events.size() - 2].path, "cache/");
    EXPECT_EQ(list.events.back().path, "*/*.tmp");

    // A folder pattern never removes a file of that name, and the reverse.
    ChangeList kinds;
    parseItemList(kinds, "cachefile/\ndata\n", 0);
    exclude(list, kinds);
    EXPECT_EQ(list.fileCount, 3u);
    EXPECT_EQ(list.folderCount, 2u);

    // A pattern with an empty component fails once it is reached; earlier
    // patterns stay applied.
    ChangeList bad;
    parseItemList(bad, "root.tmp\ndata//x\n", 0);
    try
    {
        exclude(list, bad);
        FAIL() << "no exception";
    }
    catch (const CFileListExcep& e)
    {
        EXPECT_EQ(e.code, FLIST_WRONG_FNAME);
    }
    EXPECT_FALSE(list.findEntry("root.tmp"));
}
