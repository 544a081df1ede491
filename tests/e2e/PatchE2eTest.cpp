// Patching between the real tools: a changed large file built from its old
// version and the new ranges, --no-stream taking it whole, and a patched file
// that fails its check taken whole once, the old file left as it was.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>

#include "platform/Files.h"
#include "tests/e2e/E2eFixture.h"

namespace fs = std::filesystem;

class PatchE2e : public E2eTest
{
protected:
    static std::string version2(const std::string& v1)
    {
        std::string v2 = v1;
        v2.replace(1u << 20, 32u << 10, pseudoRandom(32u << 10, 11));
        v2.insert(3u << 20, pseudoRandom(64u << 10, 12));
        return v2;
    }
    ClientRun updateIn(const std::string& folder, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = {"--dir", fs::absolute(folder).string(), "--list", folder + ".lst"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("update");
        return runClient(".", args);
    }
};

TEST_F(PatchE2e, ChangedFileBuiltFromTheOldOneAndNewRangesAndNoStreamTakesItWhole)
{
    const std::string v1 = pseudoRandom(6u << 20, 3);
    writeFile("content/data/pack.bin", v1);
    writeFile("content/readme.txt", "one");
    fs::create_directory("inst");
    fs::create_directory("plain");
    startServer("content");
    ASSERT_EQ(updateIn("inst").exitCode, 0);
    ASSERT_EQ(updateIn("plain").exitCode, 0);
    killServer(SIGTERM);

    writeFile("content/data/pack.bin", version2(v1));
    writeFile("content/readme.txt", "two");
    startServer("content");
    ClientRun run = updateIn("inst");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readTree("inst"), readTree("content"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        run.err, m, std::regex("Patched 'data/pack.bin': ([0-9]+) bytes reused, ([0-9]+) downloaded")))
        << run.err;
    const uint64_t reused = std::stoull(m[1]);
    const uint64_t downloaded = std::stoull(m[2]);
    EXPECT_EQ(reused + downloaded, version2(v1).size());
    // Two edits of 96 KiB in all: a few chunks around each, not the file.
    EXPECT_LT(downloaded, 512u << 10);

    ClientRun whole = updateIn("plain", {"--no-stream"});
    ASSERT_EQ(whole.exitCode, 0) << whole.err;
    EXPECT_EQ(whole.err.find("Patched"), std::string::npos);
    EXPECT_EQ(readTree("plain"), readTree("content"));
}

TEST_F(PatchE2e, PatchedFileFailingItsCheckIsTakenWholeOnceAndTheOldFileStays)
{
    const std::string v1 = pseudoRandom(6u << 20, 3);
    writeFile("content/pack.bin", v1);
    fs::create_directory("inst");
    startServer("content");
    ASSERT_EQ(updateIn("inst").exitCode, 0);
    killServer(SIGTERM);

    const std::string v2 = version2(v1);
    writeFile("content/pack.bin", v2);
    startServer("content");
    // Changed behind the server's list, same size and time: what it sends
    // no longer adds up to the MD5 the list promises.
    const int64_t time = platform::getFileTime("content/pack.bin");
    std::string lie = v2;
    lie.replace(5u << 20, 4096, std::string(4096, 'x'));
    writeFile("content/pack.bin", lie);
    ASSERT_EQ(platform::setFileTime("content/pack.bin", time), 0);

    ClientRun run = updateIn("inst");
    EXPECT_NE(run.exitCode, 0);
    const std::string fallback = "Patched 'pack.bin' failed its check: taken whole";
    const size_t first = run.err.find(fallback);
    ASSERT_NE(first, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(fallback, first + 1), std::string::npos) << run.err;
    EXPECT_TRUE(readFile(fs::path("inst") / "pack.bin") == v1);
}

TEST_F(PatchE2e, RenamedFileIsBuiltFromTheOneTheUpdateDeletes)
{
    const std::string pack = pseudoRandom(5u << 20, 8);
    writeFile("content/old/pack.bin", pack);
    fs::create_directory("inst");
    startServer("content");
    ASSERT_EQ(updateIn("inst").exitCode, 0);
    killServer(SIGTERM);

    fs::rename("content/old", "content/new");
    startServer("content");
    ClientRun run = updateIn("inst");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readTree("inst"), readTree("content"));
    EXPECT_NE(run.err.find("Patched 'new/pack.bin': 5242880 bytes reused, 0 downloaded"), std::string::npos)
        << run.err;
}
