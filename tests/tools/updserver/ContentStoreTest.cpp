// What base sessions and streaming sessions read as "ignore" when some files
// are too large for the base list: base clients must leave those files alone,
// through lines they cannot read as anything else.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/ItemList.h"
#include "newupdatesystem/Common/Md5.h"
#include "support/Sandbox.h"
#include "tools/updserver/ContentStore.h"

namespace fs = std::filesystem;

namespace
{
void write(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path().empty() ? fs::path(".") : path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string unpacked(const PublishedFile& file)
{
    CDataFile plain;
    plain.unpackFrom(file.packed.data(), file.packed.size());
    return std::string(reinterpret_cast<const char*>(plain.data()), plain.size());
}

bool md5Of(const PublishedFile& file, const std::string& text)
{
    uint8_t digest[16];
    CMd5::digest(text.data(), static_cast<uint32_t>(text.size()), digest);
    return std::equal(digest, digest + 16, file.md5);
}

// The files of the list, as a client has them left after reading the text as
// its ignore list.
std::vector<std::string> leftAfter(const CFileList& list, const std::string& text)
{
    CFileList copy;
    copy.createFromBin(list.image().data(), list.imageSize());
    ChangeList patterns;
    parseItemList(patterns, text.data(), static_cast<uint32_t>(text.size()));
    exclude(copy, patterns);
    std::vector<std::string> out;
    auto walk = [&](auto& self, const FolderMap& map, const std::string& prefix) -> void
    {
        for (const auto& [name, entry] : map)
        {
            if (entry.isFolder())
                self(self, *entry.child, prefix + name + "/");
            else
                out.push_back(prefix + name);
        }
    };
    walk(walk, copy.root, "");
    return out;
}
} // namespace

class ContentStoreTest : public SandboxTest
{
};

TEST_F(ContentStoreTest, BaseIgnoreNamesTheLeftOutFilesOnlyWhereTheyCannotReadOtherwise)
{
    for (const char* name : {"small.txt", "star.bin", "case.bin", "logs/a.log", "big/other.bin"})
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
        "back\rslash\r",       // a stray line end
        std::string(600, 'l'), // cut short by the client
    };
    const std::string text = CContentStore::baseIgnoreText(operatorText, unlisted, base);
    EXPECT_EQ(text, "*.tmp\r\nlogs/\nbig/huge.bin\n");
    // The operator's patterns read as before; the added line hides only its file.
    EXPECT_EQ(leftAfter(base, text), leftAfter(base, operatorText));
    EXPECT_EQ(leftAfter(base, text),
              (std::vector<std::string>{"big/other.bin", "case.bin", "small.txt", "star.bin"}));

    EXPECT_EQ(CContentStore::baseIgnoreText("", {"big/huge.bin", "deep/er/huge2.bin"}, base),
              "big/huge.bin\ndeep/er/huge2.bin\n");
    EXPECT_EQ(CContentStore::baseIgnoreText("a\n", {"big/huge.bin"}, base), "a\nbig/huge.bin\n");
    EXPECT_EQ(CContentStore::baseIgnoreText("*.tmp\n", {"st*r.bin", "CASE.BIN"}, base), "")
        << "nothing to add: base sessions read the operator's list as it is";
}

// A sparse file just beyond what the base list holds: base sessions read
// "ignore" with its path, checksum and bytes agreeing; streaming sessions,
// which are offered the file, read the operator's list unchanged.
TEST_F(ContentStoreTest, BaseSessionsReadTheLeftOutFileInIgnoreStreamingOnesDoNot)
{
    write("content/small.txt", "small");
    fs::create_directories("content/big");
    std::ofstream("content/big/huge.bin").close();
    fs::resize_file("content/big/huge.bin", uint64_t(kMaxListFileSize) + 1);
    write("ignore.txt", "*.tmp\n");

    CContentStore store("content", "", "ignore.txt");
    store.rebuild();
    auto snap = store.snapshot();
    const PublishedFile* streaming = CContentStore::special(*snap, "ignore", true);
    const PublishedFile* base = CContentStore::special(*snap, "ignore", false);
    ASSERT_TRUE(streaming && base);
    EXPECT_EQ(unpacked(*streaming), "*.tmp\n");
    EXPECT_TRUE(md5Of(*streaming, "*.tmp\n"));
    EXPECT_EQ(unpacked(*base), "*.tmp\nbig/huge.bin\n");
    EXPECT_TRUE(md5Of(*base, "*.tmp\nbig/huge.bin\n"));

    // Without a file beyond the base list both read the same.
    fs::remove("content/big/huge.bin");
    store.rebuild();
    snap = store.snapshot();
    EXPECT_EQ(CContentStore::special(*snap, "ignore", false), CContentStore::special(*snap, "ignore", true));
    EXPECT_EQ(unpacked(*CContentStore::special(*snap, "ignore", false)), "*.tmp\n");
}
