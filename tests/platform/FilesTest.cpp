#include "platform/Files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "newupdatesystem/Common/BinFile.h"
#include "newupdatesystem/Common/Excep.h"
#include "platform/OpenNoFollow.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

using Files = SandboxTest;

TEST_F(Files, ResolvesComponentsWithoutRegardToCase)
{
    fs::create_directories("Data/Maps");
    writeText("Data/Maps/A.BIN", "map");

    EXPECT_EQ(platform::resolvePath("Data/Maps/A.BIN"), "Data/Maps/A.BIN");
    EXPECT_EQ(platform::resolvePath("data\\maps\\a.bin"), "Data/Maps/A.BIN");
    EXPECT_EQ(platform::resolvePath("data/maps/"), "Data/Maps/");
    // Missing parts keep the name given after the last match.
    EXPECT_EQ(platform::resolvePath("data/New/b.bin"), "Data/New/b.bin");
    // Absolute paths resolve the same way.
    std::string absolute = (m_sandbox.path() / "DATA/maps/a.bin").string();
    EXPECT_EQ(platform::resolvePath(absolute.c_str()), (m_sandbox.path() / "Data/Maps/A.BIN").string());

    // Only the last component differing or missing, in a folder named exactly.
    EXPECT_EQ(platform::resolvePath("Data/Maps/a.Bin"), "Data/Maps/A.BIN");
    EXPECT_EQ(platform::resolvePath("Data/Maps/new.bin"), "Data/Maps/new.bin");
    EXPECT_EQ(platform::resolvePath("Data//maps/a.bin"), "Data/Maps/A.BIN");

    // An exact match wins over a case-insensitive one.
    writeText("Data/Maps/a.bin", "lower");
    EXPECT_EQ(platform::resolvePath("data/maps/a.bin"), "Data/Maps/a.bin");
}

TEST_F(Files, BinFileUsesWindowsNameSemantics)
{
    fs::create_directories("Data/Maps");
    writeText("Data/Maps/A.BIN", "old");

    // Rewriting a file named in another case replaces it instead of adding a twin.
    {
        CBinFile f("data\\maps\\a.bin", CBinFile::MODE_CREATE);
        f.write("new", 3);
        f.safeClose();
    }
    EXPECT_EQ(readText("Data/Maps/A.BIN"), "new");
    EXPECT_FALSE(fs::exists("Data/Maps/a.bin"));

    // New files and folders get the name as given, inside the existing folders.
    CBinFile::createDir("data/maps/Sub", false);
    EXPECT_TRUE(fs::is_directory("Data/Maps/Sub"));
    CBinFile("DATA/MAPS/sub/New.txt", CBinFile::MODE_CREATE).safeClose();
    EXPECT_TRUE(fs::exists("Data/Maps/Sub/New.txt"));
    EXPECT_THROW(CBinFile::createDir("data/MAPS/sub", false), CSystemExcep);

    CBinFile::setTime("data/maps/sub/new.txt", 1234567890);
    EXPECT_EQ(platform::getFileTime("Data/Maps/Sub/New.txt"), 1234567890);
    CBinFile::remove("data/maps/sub/new.txt", false);
    CBinFile::removeDir("data/maps/sub", false);
    EXPECT_FALSE(fs::exists("Data/Maps/Sub"));
}

TEST_F(Files, DirReaderReportsFilesAndFolders)
{
    fs::create_directories("Top/Sub");
    writeText("Top/file.dat", "12345");
    writeText("Top/Sub/inner", "x");
    platform::setFileTime("Top/file.dat", 1500000000);
    fs::create_symlink("file.dat", "Top/link.dat");
    fs::create_directory_symlink("Sub", "Top/looplink");
    fs::create_symlink("nowhere", "Top/dangling");
    ASSERT_EQ(mkfifo("Top/pipe", 0600), 0);

    platform::DirReader reader;
    ASSERT_TRUE(reader.open("top"));
    std::map<std::string, platform::DirEntry> seen;
    platform::DirEntry e;
    while (reader.next(e))
    {
        seen[e.name] = e;
    }
    EXPECT_EQ(errno, 0);
    ASSERT_EQ(seen.size(), 3u); // file.dat, link.dat, Sub
    EXPECT_FALSE(seen["file.dat"].folder);
    EXPECT_EQ(seen["file.dat"].size, 5u);
    EXPECT_EQ(seen["file.dat"].time, 1500000000);
    EXPECT_EQ(seen["link.dat"].size, 5u);
    EXPECT_TRUE(seen["Sub"].folder);
    EXPECT_EQ(seen["Sub"].size, 0u);

    EXPECT_FALSE(reader.open("missing"));
    EXPECT_EQ(errno, ENOENT);
}

// Writing in a folder others can write to: a link at the name is refused or
// replaced, never written through; a pipe is refused without waiting for a
// reader; a file's mode passes to its successor; the free space is told.
TEST_F(Files, OpeningWithoutFollowingLinks)
{
    writeText("target.txt", "mine");
    fs::create_symlink("target.txt", "link.txt");
    errno = 0;
    EXPECT_EQ(platform::openFileNoFollow("link.txt", "ab"), nullptr);
    EXPECT_EQ(errno, ELOOP);
    FILE* f = platform::openFileNoFollow("link.txt", "wb", platform::AtLink::Replace);
    ASSERT_NE(f, nullptr);
    std::fputs("ours", f);
    std::fclose(f);
    EXPECT_EQ(readText("target.txt"), "mine");
    EXPECT_FALSE(fs::is_symlink("link.txt"));
    EXPECT_EQ(readText("link.txt"), "ours");

    ASSERT_EQ(mkfifo("pipe.log", 0600), 0);
    EXPECT_EQ(platform::openFileNoFollow("pipe.log", "ab", platform::AtLink::Replace), nullptr);
    EXPECT_EQ(errno, EINVAL);

    ASSERT_EQ(chmod("target.txt", 0750), 0);
    EXPECT_EQ(platform::copyFileMode("target.txt", "link.txt"), 0);
    EXPECT_EQ(fs::status("link.txt").permissions() & fs::perms::all, fs::perms(0750));
    EXPECT_NE(platform::copyFileMode("pipe.log", "link.txt"), 0);

    uint64_t available = 0;
    EXPECT_TRUE(platform::freeDiskSpace(".", available));
    EXPECT_GT(available, 0u);
}
