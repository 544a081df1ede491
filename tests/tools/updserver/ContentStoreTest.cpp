// What base sessions and streaming sessions read as "ignore" when some files
// are too large for the base list: base clients must leave those files alone,
// through lines they cannot read as anything else.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/ItemList.h"
#include "newupdatesystem/Common/Md5.h"
#include "support/Sandbox.h"
#include "tools/updserver/ContentStore.h"

namespace fs = std::filesystem;

namespace
{
void write(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// The bytes served, when their checksum agrees with them.
std::string served(const PublishedFile& file)
{
    CDataFile plain;
    plain.unpackFrom(file.packed.data(), file.packed.size());
    uint8_t md5[16];
    CMd5::digest(plain.data(), plain.size(), md5);
    if (!std::equal(md5, md5 + 16, file.md5))
        return "(checksum of other bytes)";
    return std::string(reinterpret_cast<const char*>(plain.data()), plain.size());
}

// What a client reads from the text as its ignore list, files then folders.
std::vector<std::string> parsed(const std::string& text)
{
    ChangeList patterns;
    parseItemList(patterns, text.data(), static_cast<uint32_t>(text.size()));
    std::vector<std::string> out;
    for (const FileChange& f : patterns.fileItems)
        out.push_back(f.path);
    for (const FolderChange& f : patterns.folderItems)
        out.push_back(std::string(f.path) + "/");
    return out;
}
} // namespace

class ContentStoreTest : public SandboxTest
{
};

TEST_F(ContentStoreTest, BaseIgnoreNamesTheLeftOutFilesOnlyWhereTheyCannotReadOtherwise)
{
    for (const char* name : {"small.txt", "star.bin", "case.bin", "logs/a.log"})
        write(fs::path("tree") / name, "x");
    CFileList base;
    base.scan("tree", false);
    base.buildBin();

    const std::string operatorText = "*.tmp\r\nlogs/"; // CRLF, no line end at the end
    const std::vector<std::string> unlisted = {
        "big/huge.bin",
        "st*r.bin",            // a wildcard: would hide star.bin
        "s?all.txt",           // likewise
        "CASE.BIN",            // read without regard to case: case.bin
        "a\\b.bin",            // read as a separator
        ";note.bin",           // read as a comment
        "two\nlines.bin",      // would add a line
        "stray\r",             // a stray line end
        std::string(600, 'l'), // cut short by the client
    };
    const std::string text = CContentStore::baseIgnoreText(operatorText, unlisted, base);
    EXPECT_EQ(text, "*.tmp\r\nlogs/\nbig/huge.bin\n");
    // The operator's patterns read as before, the added line as its file alone.
    EXPECT_EQ(parsed(text), (std::vector<std::string>{"*.tmp", "big/huge.bin", "logs/"}));

    EXPECT_EQ(CContentStore::baseIgnoreText("", {"big/huge.bin", "deep/er/huge2.bin"}, base),
              "big/huge.bin\ndeep/er/huge2.bin\n");
    EXPECT_EQ(CContentStore::baseIgnoreText("*.tmp\n", {"st*r.bin", "CASE.BIN"}, base), "")
        << "nothing to add: base sessions read the operator's list as it is";
}

// A sparse file just beyond what the base list holds: base sessions read
// "ignore" with its path, checksum and bytes agreeing; streaming sessions,
// which are offered the file, read the operator's list unchanged.
TEST_F(ContentStoreTest, BaseSessionsReadTheLeftOutFileInIgnoreStreamingOnesDoNot)
{
    write("content/small.txt", "small");
    write("content/big/huge.bin", "");
    fs::resize_file("content/big/huge.bin", uint64_t(kMaxListFileSize) + 1);
    write("conf/ignore.txt", "*.tmp\n");

    CContentStore store("content", "", "conf/ignore.txt");
    store.rebuild();
    auto snap = store.snapshot();
    EXPECT_EQ(served(*CContentStore::special(*snap, "ignore", true)), "*.tmp\n");
    EXPECT_EQ(served(*CContentStore::special(*snap, "ignore", false)), "*.tmp\nbig/huge.bin\n");

    // Without a file beyond the base list both read the same.
    fs::remove("content/big/huge.bin");
    store.rebuild();
    snap = store.snapshot();
    EXPECT_EQ(CContentStore::special(*snap, "ignore", false), CContentStore::special(*snap, "ignore", true));
}
