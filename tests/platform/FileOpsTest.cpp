// The platform layer's contract where it is the same on every system: file
// status and times, the atomic replace, folder listing, processes, local time.
// Runs on Linux and, unchanged, on Windows.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/Files.h"
#include "platform/LocalTime.h"
#include "platform/Process.h"
#include "support/EnvironmentGuard.h"
#include "support/Sandbox.h"

namespace fs = std::filesystem;

namespace
{

class FileOpsTest : public SandboxTest
{
protected:
    static void write(const std::string& name, const std::string& text)
    {
        std::ofstream(name, std::ios::binary) << text;
    }
    static std::string read(const std::string& name)
    {
        std::ifstream in(name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

} // namespace

TEST_F(FileOpsTest, StatusAndExactTimes)
{
    write("a.bin", "12345");
    fs::create_directory("sub");
    // Whole seconds before 1970, around 2000 and past 2038 come back exactly.
    for (int64_t t : {int64_t(-86400), int64_t(946684799), int64_t(4102444800)})
    {
        ASSERT_EQ(0, platform::setFileTime("a.bin", t)) << t;
        EXPECT_EQ(t, platform::getFileTime("a.bin")) << t;
        platform::FileStatus st;
        ASSERT_TRUE(platform::fileStatus("a.bin", st));
        EXPECT_EQ(t, st.time);
        EXPECT_EQ(0, st.timeNanos);
    }
    platform::FileStatus st;
    ASSERT_TRUE(platform::fileStatus("a.bin", st));
    EXPECT_EQ(platform::FileKind::Regular, st.kind);
    EXPECT_EQ(5u, st.size);
    ASSERT_TRUE(platform::fileStatus("sub", st));
    EXPECT_EQ(platform::FileKind::Folder, st.kind);
    EXPECT_EQ(0u, st.size);
    EXPECT_FALSE(platform::fileStatus("missing", st));
    EXPECT_EQ(platform::FileKind::Missing, st.kind);
    EXPECT_EQ(-1, platform::getFileTime("missing"));
    EXPECT_EQ(-1, platform::setFileTime("missing", 0));
}

TEST_F(FileOpsTest, ReplaceFileSwapsContentOrLeavesItAlone)
{
    int err = -1;
    EXPECT_EQ(platform::ReplaceResult::NotWritable, platform::replaceFile("new.ini", "x", false, err));
    EXPECT_FALSE(fs::exists("new.ini"));
    EXPECT_EQ(platform::ReplaceResult::Replaced, platform::replaceFile("new.ini", "first", true, err));
    EXPECT_EQ("first", read("new.ini"));
    EXPECT_EQ(platform::ReplaceResult::Replaced, platform::replaceFile("new.ini", "second\r\n", false, err));
    EXPECT_EQ("second\r\n", read("new.ini"));
    // No temporary file is left beside it.
    EXPECT_EQ(1, std::distance(fs::directory_iterator("."), fs::directory_iterator()));
    // A folder by that name cannot be written and stays a folder.
    fs::create_directory("dir.ini");
    EXPECT_NE(platform::ReplaceResult::Replaced, platform::replaceFile("dir.ini", "x", true, err));
    EXPECT_TRUE(fs::is_directory("dir.ini"));
}

TEST_F(FileOpsTest, RemovingAWriteProtectedFileAndListingAFolder)
{
    write("ro.txt", "x");
    fs::permissions("ro.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(0, platform::removeFile("ro.txt"));
    EXPECT_FALSE(fs::exists("ro.txt"));

    fs::create_directories("d/inner");
    write("d/one.txt", "1");
    write("d/three.txt", "333");
    platform::setFileTime("d/three.txt", 1000000000);
    std::map<std::string, platform::DirEntry> seen;
    platform::DirReader reader;
    ASSERT_TRUE(reader.open("d"));
    platform::DirEntry e;
    while (reader.next(e))
    {
        seen[e.name] = e;
    }
    ASSERT_EQ(3u, seen.size());
    EXPECT_TRUE(seen["inner"].folder);
    EXPECT_EQ(0u, seen["inner"].size);
    EXPECT_FALSE(seen["three.txt"].folder);
    EXPECT_EQ(3u, seen["three.txt"].size);
    EXPECT_EQ(1000000000, seen["three.txt"].time);
    EXPECT_FALSE(reader.next(e));
    reader.close();
    EXPECT_FALSE(reader.open("no-such-folder"));
}

TEST_F(FileOpsTest, StreamLengthCountsBufferedOutputAndCurrentFolderIsOurs)
{
    FILE* f = platform::openFile("s.bin", "wb");
    ASSERT_NE(nullptr, f);
    std::fputs("abcdef", f);
    EXPECT_EQ(6, platform::streamLength(f));
    std::fclose(f);
    EXPECT_EQ(nullptr, platform::openFile(".", "rb"));
    EXPECT_EQ(fs::current_path(), fs::path(platform::currentFolder()));
}

TEST_F(FileOpsTest, ScriptsRunAndAreWaitedForWithTheirExitCode)
{
    // The same text is a shell script and a batch file.
    write("ends.bat", "exit 3\n");
    platform::ProcessId pid = -1;
    ASSERT_TRUE(platform::spawnScript((m_sandbox.path() / "ends.bat").string(), pid));
    int code = -1;
    ASSERT_EQ(platform::WaitResult::Exited, platform::waitProcess(pid, 60000, code));
    EXPECT_EQ(3, code);
    // Waited for once; a second wait has nothing to wait for.
    EXPECT_EQ(platform::WaitResult::Failed, platform::waitProcess(pid, 0, code));

    EXPECT_FALSE(platform::isExecutableFile("."));
    EXPECT_FALSE(platform::isExecutableFile("missing"));
    EXPECT_TRUE(platform::isExecutableFile(platform::scriptInterpreter()));
    EXPECT_GT(platform::currentProcessId(), 0);
}

TEST(LocalTimeTest, FollowsTheZoneOfTheEnvironment)
{
    EnvironmentGuard guard({"TZ"});
    guard.set("TZ", "UTC0");
    std::tm t{};
    ASSERT_TRUE(platform::localTime(86400 * 365 + 3600 + 61, t));
    EXPECT_EQ(71, t.tm_year);
    EXPECT_EQ(0, t.tm_mon);
    EXPECT_EQ(1, t.tm_mday);
    EXPECT_EQ(1, t.tm_hour);
    EXPECT_EQ(1, t.tm_min);
    EXPECT_EQ(1, t.tm_sec);
}
