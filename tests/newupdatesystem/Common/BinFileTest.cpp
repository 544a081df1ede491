#include "newupdatesystem/Common/BinFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "newupdatesystem/Common/Excep.h"
#include "platform/Environment.h"
#include "support/Sandbox.h"

namespace
{

// Runs f and returns the CSystemExcep it must throw.
CSystemExcep expectSystemExcep(const std::function<void()>& f)
{
    try
    {
        f();
    }
    catch (const CSystemExcep& e)
    {
        return e;
    }
    ADD_FAILURE() << "no CSystemExcep";
    return CSystemExcep(-1, EK_NONE, 0, "", EXCEP_SITE("none"));
}

void writeText(const char* path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct stat statOf(const char* path)
{
    struct stat st = {};
    EXPECT_EQ(stat(path, &st), 0) << path;
    return st;
}

} // namespace

using BinFile = SandboxTest;

TEST_F(BinFile, WritesReadsAndReportsLength)
{
    {
        CBinFile f("out.bin", CBinFile::MODE_CREATE);
        f.write("hello", 5);
        f.print("-%d", 42);
        EXPECT_EQ(f.length(), 8);
        f.safeClose();
        EXPECT_FALSE(f.isOpen());
        f.safeClose(); // closing twice is harmless
    }
    EXPECT_EQ(readText("out.bin"), "hello-42");

    CBinFile f("out.bin", CBinFile::MODE_OPEN);
    char buffer[8];
    f.read(buffer, 0);
    f.read(buffer, 8);
    EXPECT_EQ(std::string(buffer, 8), "hello-42");
}

// A failed flush is reported by safeClose, which still forgets the stream;
// the destructor would have swallowed it.
TEST_F(BinFile, SafeCloseReportsFailedFlush)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    CBinFile f("/dev/full", CBinFile::MODE_CREATE);
    f.write("buffered", 8);
    auto e = expectSystemExcep([&] { f.safeClose(); });
    EXPECT_EQ(e.code, FILE_CLOSE);
    EXPECT_EQ(e.errorNumber, ENOSPC);
    EXPECT_STREQ(e.function, "CBinFile::safeClose");
    EXPECT_FALSE(f.isOpen());
}

TEST_F(BinFile, ReadPastEndFailsAndStaysOpen)
{
    writeText("three", "abc");
    CBinFile f("three", 0);
    char buffer[4];
    auto e = expectSystemExcep([&] { f.read(buffer, 4); });
    EXPECT_EQ(e.code, FILE_READ);
    EXPECT_EQ(e.kind, EK_ERRNO);
    EXPECT_EQ(e.subject, "");
    EXPECT_STREQ(e.function, "CBinFile::read");
    EXPECT_TRUE(f.isOpen());
}

TEST_F(BinFile, CreateTruncatesAndOpenOfMissingFileFails)
{
    writeText("old", "0123456789");
    CBinFile("old", CBinFile::MODE_CREATE).safeClose();
    EXPECT_EQ(statOf("old").st_size, 0);

    auto e = expectSystemExcep([] { CBinFile f("missing", 0); });
    EXPECT_EQ(e.code, FILE_OPEN);
    EXPECT_EQ(e.kind, EK_ERRNO);
    EXPECT_EQ(e.errorNumber, ENOENT);
    EXPECT_EQ(e.subject, "missing");
    EXPECT_STREQ(e.function, "CBinFile::open");

    mkdir("folder", 0755);
    EXPECT_EQ(expectSystemExcep([] { CBinFile f("folder", 0); }).code, FILE_OPEN);

    auto c = expectSystemExcep([] { CBinFile f("no/such/folder", CBinFile::MODE_CREATE); });
    EXPECT_EQ(c.code, FILE_CREATE);
    EXPECT_STREQ(c.function, "CBinFile::create");
}

TEST_F(BinFile, IgnoreFlagsAreNarrow)
{
    CBinFile::remove("missing", true);
    auto e = expectSystemExcep([] { CBinFile::remove("missing", false); });
    EXPECT_EQ(e.code, FILE_DELETE);
    EXPECT_EQ(e.errorNumber, ENOENT);
    EXPECT_EQ(e.subject, "missing");

    CBinFile::createDir("dir", false);
    CBinFile::createDir("dir", true);
    EXPECT_EQ(expectSystemExcep([] { CBinFile::createDir("dir", false); }).errorNumber, EEXIST);
    auto parent = expectSystemExcep([] { CBinFile::createDir("nothere/dir", true); });
    EXPECT_EQ(parent.code, DIR_CREATE);
    EXPECT_EQ(parent.errorNumber, ENOENT);

    writeText("dir/file", "x");
    auto full = expectSystemExcep([] { CBinFile::removeDir("dir", true); });
    EXPECT_EQ(full.code, DIR_DELETE);
    EXPECT_STREQ(full.function, "CBinFile::removeDir");
    CBinFile::remove("dir/file", false);
    CBinFile::removeDir("dir", false);
    CBinFile::removeDir("dir", true);
    EXPECT_EQ(expectSystemExcep([] { CBinFile::removeDir("dir", false); }).errorNumber, ENOENT);
}

// A file stamped with t must read back as t whatever the daylight-saving
// state at t and now: a zone with summer time makes the difference visible.
TEST_F(BinFile, SetTimeIsExactAcrossDaylightSaving)
{
    const char* oldTz = getenv("TZ");
    std::string savedTz = oldTz ? oldTz : "";
    platform::setEnvironmentVariable("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    tzset();

    writeText("f", "x");
    const int64_t september = 1000000000; // 2001-09-09 01:46:40 UTC, summer time
    const int64_t july = 1215000000;      // 2008-07-02, summer time
    const int64_t january = 1232000000;   // 2009-01-15, standard time
    for (int64_t t : {september, july, january, int64_t(0x80000000LL)})
    {
        CBinFile::setTime("f", t);
        struct stat st = statOf("f");
        EXPECT_EQ(int64_t(st.st_mtim.tv_sec), t);
        EXPECT_EQ(int64_t(st.st_atim.tv_sec), t);
    }

    if (oldTz)
        platform::setEnvironmentVariable("TZ", savedTz.c_str());
    else
        platform::unsetEnvironmentVariable("TZ");
    tzset();

    auto e = expectSystemExcep([] { CBinFile::setTime("missing", 0); });
    EXPECT_EQ(e.code, FILE_OPEN);
    EXPECT_EQ(e.kind, EK_LAST_ERROR);
    EXPECT_EQ(e.subject, "missing");
    EXPECT_STREQ(e.function, "CBinFile::setTime");
}

TEST_F(BinFile, ClearAttributesRemovesWriteProtection)
{
    writeText("ro", "x");
    chmod("ro", 0444);
    CBinFile::clearAttributes("ro", false);
    EXPECT_TRUE(statOf("ro").st_mode & S_IWUSR);
    CBinFile("ro", CBinFile::MODE_CREATE).safeClose();

    CBinFile::clearAttributes("missing", true);
    auto e = expectSystemExcep([] { CBinFile::clearAttributes("missing", false); });
    EXPECT_EQ(e.code, FILE_SET_ATTR);
    EXPECT_EQ(e.kind, EK_LAST_ERROR);
}
