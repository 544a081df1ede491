// CFileReplacer: the new version appears under the name whole and checked, or
// not at all.
#include "newupdatesystem/Common/FileReplacer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Md5.h"
#include "platform/Files.h"
#include "support/CatchExcep.h"
#include "support/PlatformSkip.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t entries(const fs::path& folder)
{
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

} // namespace

using FileReplacer = SandboxTest;

TEST_F(FileReplacer, CheckedContentReplacesTheFileWithItsTime)
{
    fs::create_directory("d");
    writeText("d/f.txt", "old");
    const std::string text = "new content";
    uint8_t digest[16];
    CMd5::digest(text.data(), text.size(), digest);
    {
        CFileReplacer file("d/f.txt");
        EXPECT_EQ("d/", file.temporaryPath().substr(0, 2));
        file.write(text.data(), 4);
        file.write(text.data() + 4, uint32_t(text.size() - 4));
        // Nothing shows under the name before the commit.
        EXPECT_EQ("old", readText("d/f.txt"));
        file.commit(text.size(), digest, 1000000000);
    }
    EXPECT_EQ(text, readText("d/f.txt"));
    EXPECT_EQ(1000000000, platform::getFileTime("d/f.txt"));
    EXPECT_EQ(1u, entries("d"));

    // An empty file carries sixteen zero bytes, as lists hold it.
    const uint8_t zero[16] = {};
    CFileReplacer empty("d/e.dat");
    empty.commit(0, zero, 5);
    EXPECT_EQ(0u, fs::file_size("d/e.dat"));
}

TEST_F(FileReplacer, MismatchOrAbandonLeavesTheOldFile)
{
    writeText("f.txt", "old");
    uint8_t digest[16];
    CMd5::digest("abc", 3, digest);
    for (auto [bytes, size] : {std::pair<std::string, uint64_t>{"abd", 3}, {"abc", 4}, {"abcd", 3}})
    {
        CFileReplacer file("f.txt");
        file.write(bytes.data(), uint32_t(bytes.size()));
        auto e = catchExcep<CSystemExcep>([&] { file.commit(size, digest, 7); });
        ASSERT_TRUE(e.has_value()) << bytes;
        EXPECT_EQ(Z_CORRUPTED, e->code);
        EXPECT_EQ("f.txt", e->subject);
    }
    {
        CFileReplacer abandoned("f.txt");
        abandoned.write("xyz", 3);
    }
    EXPECT_EQ("old", readText("f.txt"));
    EXPECT_EQ(1u, entries("."));

    // A folder that is not there: the temporary file cannot be made.
    auto e = catchExcep<CSystemExcep>([] { CFileReplacer file("missing/f.txt"); });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(FILE_CREATE, e->code);
}

// A checked file that cannot take the name's place (a file in use on
// Windows; here a folder in the way) is a write error, as a base client
// reports a file it cannot create, and leaves nothing behind.
TEST_F(FileReplacer, AFileThatCannotBePutInPlaceIsAWriteError)
{
    fs::create_directories("f.txt/inside");
    uint8_t digest[16];
    CMd5::digest("abc", 3, digest);
    {
        CFileReplacer file("f.txt");
        file.write("abc", 3);
        auto e = catchExcep<CSystemExcep>([&] { file.commit(3, digest, 7); });
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(FILE_CREATE, e->code) << "not FILE_RENAME, which the base client never raises";
        EXPECT_EQ("f.txt", e->subject);
    }
    EXPECT_TRUE(fs::is_directory("f.txt/inside"));
    EXPECT_EQ(1u, entries("."));
}

TEST_F(FileReplacer, APartialFileContinuesAndStaysForTheNextTry)
{
    // The kept part counts towards the checksum; what followed it is cut off.
    writeText("t.partial", "abcdefXYZ");
    {
        CFileReplacer r("t", "t.partial", 6);
        EXPECT_EQ(r.size(), 6u);
        r.write("ghi", 3);
        uint8_t digest[16];
        CMd5::digest("abcdefghi", 9, digest);
        r.commit(9, digest, 1000000000);
    }
    EXPECT_EQ(readText("t"), "abcdefghi");
    EXPECT_FALSE(fs::exists("t.partial"));

    // Left without replacing: the part stays, unless discarded.
    {
        CFileReplacer r("u", "u.partial", 0);
        r.write("12", 2);
        r.flush();
    }
    EXPECT_EQ(readText("u.partial"), "12");
    EXPECT_FALSE(fs::exists("u"));
    {
        CFileReplacer r("u", "u.partial", 2);
        EXPECT_EQ(r.size(), 2u);
        r.discardPartial();
    }
    EXPECT_FALSE(fs::exists("u.partial"));
}

TEST_F(FileReplacer, ALinkAtThePartialNameIsReplacedNotWrittenThrough)
{
    SKIP_ON_WINDOWS("symbolic links need a privilege there");
    writeText("secret", "keep me");
    fs::create_symlink(fs::absolute("secret"), "v.partial");
    {
        CFileReplacer r("v", "v.partial", 5);
        EXPECT_EQ(r.size(), 0u);
        r.write("new", 3);
    }
    EXPECT_EQ(readText("secret"), "keep me");
    EXPECT_FALSE(fs::is_symlink("v.partial"));
    EXPECT_EQ(readText("v.partial"), "new");
}

// Bytes appended without the checksum: the caller's digest, which carries on
// from the kept part's checksum, decides.
TEST_F(FileReplacer, AppendedBytesAreCheckedAgainstTheCallersDigest)
{
    writeText("v.partial", "abc");
    writeText("v", "old");
    CFileReplacer r("v", "v.partial", 3);
    CMd5 md5 = r.checksum();
    r.append("def", 3);
    uint8_t wrong[16];
    CMd5 copy = md5;
    copy.final(wrong);
    uint8_t expected[16];
    CMd5::digest("abcdef", 6, expected);
    auto e = catchExcep<CSystemExcep>([&] { r.commit(wrong, 6, expected, 9); });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(Z_CORRUPTED, e->code);
    EXPECT_EQ("old", readText("v"));

    md5.update("def", 3);
    uint8_t digest[16];
    md5.final(digest);
    r.commit(digest, 6, expected, 9);
    EXPECT_EQ("abcdef", readText("v"));
}
