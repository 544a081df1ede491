// The streaming transfer between the real tools: a file beyond the base
// transfer limit, a download resumed after the server was killed, and one
// started again because the server's file changed in between.
#include <csignal>
#include <fstream>
#include <regex>

#include <sys/mount.h>
#include <unistd.h>

#include "tests/e2e/E2eFixture.h"

namespace fs = std::filesystem;

class StreamE2e : public E2eTest
{
protected:
    // Starts an update held to 4 MiB/s and kills the server once the partial
    // download of big.bin holds 8 MiB.
    void interruptedUpdate(const std::string& name)
    {
        pid_t client = spawnClient(
            ".",
            {"--dir", fs::absolute("inst").string(), "--list", "inst.lst", "--limit-rate", "4M", "update"},
            name);
        const fs::path partial = fs::path("inst") / "big.bin.partial.log";
        ASSERT_TRUE(waitFor(
            [&]
            {
                std::error_code ec;
                return fs::file_size(partial, ec) >= (8u << 20) && !ec;
            },
            std::chrono::seconds(60)));
        killServer(SIGKILL);
        ClientRun broken = finishClient(client, name, std::chrono::seconds(60));
        EXPECT_NE(broken.exitCode, 0);
        EXPECT_TRUE(fs::exists(fs::path("inst") / "big.bin.resume.log"));
    }
    ClientRun finish()
    {
        return runClient(".", {"--dir", fs::absolute("inst").string(), "--list", "inst.lst", "update"});
    }
};

TEST_F(StreamE2e, KilledServerResumesFromTheVerifiedPartAndAChangedFileStartsAgain)
{
    writeFile("content/small.txt", "small");
    writeFile("content/big.bin", pseudoRandom(24u << 20, 3));
    fs::create_directory("inst");
    startServer("content");
    interruptedUpdate("first");
    EXPECT_FALSE(fs::exists(fs::path("inst") / "big.bin"));

    startServer("content");
    ClientRun run = finish();
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.err, m, std::regex("Resuming 'big.bin' at ([0-9]+) of 25165824")))
        << run.err;
    EXPECT_GE(std::stoull(m[1]), 8u << 20);
    EXPECT_EQ(readTree("inst"), readTree("content"));

    // Interrupted again; the server's file changes before the next run.
    killServer(SIGTERM);
    writeFile("content/big.bin", pseudoRandom(24u << 20, 4));
    startServer("content");
    interruptedUpdate("second");
    EXPECT_TRUE(readFile(fs::path("inst") / "big.bin") ==
                pseudoRandom(24u << 20, 3)); // the old file stays whole
    writeFile("content/big.bin", pseudoRandom(24u << 20, 5));
    startServer("content");
    run = finish();
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("Resuming"), std::string::npos) << run.err;
    EXPECT_EQ(readTree("inst"), readTree("content"));
}

TEST_F(StreamE2e, FileBeyondTheBaseTransferLimitMovesOnlyByStreaming)
{
    writeFile("content/small.txt", "small");
    writeFile("content/large.bin", pseudoRandom((64u << 20) + 4096, 9));
    fs::create_directory("inst");
    startServer("content");
    ClientRun base = update("inst", {"--no-stream"});
    EXPECT_NE(base.exitCode, 0) << base.err;
    EXPECT_FALSE(fs::exists(fs::path("inst") / "large.bin"));

    ClientRun streamed = update("inst");
    ASSERT_EQ(streamed.exitCode, 0) << streamed.err;
    EXPECT_NE(streamed.err.find("Streaming transfer agreed"), std::string::npos);
    EXPECT_EQ(readTree("inst"), readTree("content"));
}

// A file beyond 4 GiB (sparse at the source): streaming clients get it through
// the wide list and write it whole; base clients are not offered it at all and
// still update the rest; the wide list saved locally reads back next run.
TEST_F(StreamE2e, FileBeyondFourGiBIsListedWideAndStreamedWhole)
{
    const uint64_t size = (uint64_t(4) << 30) + (1u << 20) + 7;
    writeFile("content/small.txt", "small");
    {
        std::ofstream huge(fs::path("content") / "huge.bin", std::ios::binary);
        huge.seekp(std::streamoff(size - 4));
        huge << "tail";
    }
    fs::create_directory("inst");
    startServer("content");

    ClientRun base = update("inst", {"--no-stream"});
    ASSERT_EQ(base.exitCode, 0) << base.err;
    EXPECT_TRUE(fs::exists(fs::path("inst") / "small.txt"));
    EXPECT_FALSE(fs::exists(fs::path("inst") / "huge.bin"));

    ClientRun streamed = update("inst", {}, std::chrono::seconds(280));
    ASSERT_EQ(streamed.exitCode, 0) << streamed.err;
    ASSERT_EQ(fs::file_size(fs::path("inst") / "huge.bin"), size);
    std::ifstream in(fs::path("inst") / "huge.bin", std::ios::binary);
    in.seekg(std::streamoff(size - 5));
    char tail[6] = {};
    in.read(tail, 5);
    EXPECT_EQ(std::string(tail, 5), std::string("\0tail", 5));
    // Lists keep whole seconds.
    auto seconds = [](const fs::path& p)
    { return std::chrono::floor<std::chrono::seconds>(fs::last_write_time(p)); };
    EXPECT_EQ(seconds(fs::path("inst") / "huge.bin"), seconds(fs::path("content") / "huge.bin"));

    ClientRun again = update("inst");
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.err.find("0 files to download"), std::string::npos) << again.err;
}

// A base client leaves alone a file only streaming clients are offered (one
// got by an earlier streaming run): its ignore list names the file, so it
// neither deletes its copy nor asks for it, and updates the rest.
TEST_F(StreamE2e, BaseClientKeepsAFileOnlyStreamingClientsAreOffered)
{
    const uint64_t size = (uint64_t(2) << 30) + 5;
    for (const char* folder : {"content", "inst"})
    {
        fs::create_directory(folder);
        std::ofstream huge(fs::path(folder) / "huge.bin", std::ios::binary);
        huge.seekp(std::streamoff(size - 4));
        huge << "tail";
    }
    writeFile("content/small.txt", "small");
    writeFile("inst/gone.txt", "not on the server");
    startServer("content");

    for (int run = 0; run < 2; ++run)
    {
        ClientRun base = update("inst", {"--no-stream"});
        ASSERT_EQ(base.exitCode, 0) << base.err;
        EXPECT_EQ(readFile(fs::path("inst") / "small.txt"), "small");
        EXPECT_FALSE(fs::exists(fs::path("inst") / "gone.txt")) << "other files still go";
        ASSERT_TRUE(fs::exists(fs::path("inst") / "huge.bin")) << "run " << run << base.err;
        EXPECT_EQ(fs::file_size(fs::path("inst") / "huge.bin"), size);
    }
}

// A disk too small for the list keeps the old file whole and leaves no
// temporary file; once there is room the next run completes.
// The installation gets a small file system of its own, which needs root (CI
// runs as root).
TEST_F(StreamE2e, FullDiskKeepsTheOldFileAndTheNextRunCompletes)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a file system needs root";
    fs::create_directory("inst");
    const std::string mounted = fs::absolute("inst").string();
    if (mount("tmpfs", mounted.c_str(), "tmpfs", 0, "size=3m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs";
    struct Unmount
    {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{mounted};

    writeFile("content/small.txt", "small");
    const std::string before = pseudoRandom(1u << 20, 21);
    writeFile("content/big.bin", before);
    startServer("content");
    ASSERT_EQ(update("inst").exitCode, 0);

    killServer(SIGTERM);
    writeFile("content/big.bin", pseudoRandom(6u << 20, 22));
    for (unsigned i = 0; i < 4; ++i)
        writeFile("content/more" + std::to_string(i) + ".bin", pseudoRandom(900u << 10, 30 + i));
    startServer("content");
    ClientRun full = update("inst");
    EXPECT_NE(full.exitCode, 0) << full.err;
    // Refused before anything is written (it used to fail file by file).
    EXPECT_NE(full.err.find("Not enough disk space for the update"), std::string::npos) << full.err;
    EXPECT_TRUE(readFile(fs::path("inst") / "big.bin") == before);
    for (const auto& entry : fs::directory_iterator("inst"))
        EXPECT_EQ(entry.path().filename().string().rfind("~upd", 0), std::string::npos) << entry.path();

    ASSERT_EQ(mount("tmpfs", mounted.c_str(), "tmpfs", MS_REMOUNT, "size=32m"), 0);
    ClientRun repaired = update("inst");
    ASSERT_EQ(repaired.exitCode, 0) << repaired.err;
    EXPECT_EQ(readTree("inst"), readTree("content"));
}

// Links planted where a large download keeps its part and its record are
// replaced; what they point to is never written.
TEST_F(StreamE2e, LinksPlantedBesideALargeDownloadAreReplacedNotWrittenThrough)
{
    writeFile("content/big.bin", pseudoRandom(5u << 20, 41));
    fs::create_directory("inst");
    writeFile("victim.txt", "victim");
    writeFile("victim2.txt", "victim2");
    fs::create_symlink(fs::absolute("victim.txt"), fs::path("inst") / "big.bin.resume.log");
    fs::create_symlink(fs::absolute("victim2.txt"), fs::path("inst") / "big.bin.partial.log");
    startServer("content");
    ClientRun run = update("inst");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readFile("victim.txt"), "victim");
    EXPECT_EQ(readFile("victim2.txt"), "victim2");
    EXPECT_EQ(readTree("inst"), readTree("content"));
}
