// Releases on disk: staged copies that match their source, read-only and
// never replaced, an atomic switch, and pruning that spares what is served.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "platform/Files.h"
#include "support/Sandbox.h"
#include "tools/updctl/ReleaseStore.h"

namespace fs = std::filesystem;

namespace
{
void writeFile(const fs::path& p, const std::string& bytes, int64_t time = 1600000000)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    platform::setFileTime(p.string().c_str(), time);
}

std::string readFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}
} // namespace

class ReleaseStoreTest : public SandboxTest
{
protected:
    void TearDown() override
    {
        // Read-only releases would stop the sandbox from cleaning up as a normal user.
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator("d", ec); it != fs::recursive_directory_iterator();
             ++it)
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    CReleaseStore m_store{"d"};
};

TEST_F(ReleaseStoreTest, StagedReleaseIsAReadOnlyCopyWithTimesAndIsNeverReplaced)
{
    writeFile("src/Data/Town.map", "town", 1500000000);
    writeFile("src/readme.txt", "read me", 1500000123);
    fs::create_directories("src/empty");
    CReleaseStore::Staged r = m_store.stage("src", "r1");
    EXPECT_EQ(r.files, 2u);
    EXPECT_EQ(r.bytes, 11u);
    EXPECT_EQ(readFile("d/releases/r1/Data/Town.map"), "town");
    EXPECT_EQ(platform::getFileTime("d/releases/r1/readme.txt"), 1500000123);
    EXPECT_TRUE(fs::is_directory("d/releases/r1/empty"));
    EXPECT_EQ(fs::status("d/releases/r1/readme.txt").permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_EQ(fs::status("d/releases/r1/Data").permissions() & fs::perms::owner_write, fs::perms::none);

    writeFile("src/private/key.txt", "k");
    fs::permissions("src/private/key.txt", fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions("src/private", fs::perms::owner_all);
    m_store.stage("src", "r0");
    // The server runs as another user: an operator's private modes must not hide a release from it.
    EXPECT_EQ(fs::status("d/releases/r0/private/key.txt").permissions() & fs::perms::others_read,
              fs::perms::others_read);
    EXPECT_EQ(fs::status("d/releases/r0/private").permissions() & fs::perms::others_exec,
              fs::perms::others_exec);
    fs::remove_all("src/private");

    writeFile("src/readme.txt", "changed");
    EXPECT_THROW(m_store.stage("src", "r1"), std::runtime_error);
    EXPECT_EQ(readFile("d/releases/r1/readme.txt"), "read me");
    for (const char* bad : {"", ".hidden", "a/b", "../x", "with space"})
        EXPECT_THROW(m_store.stage("src", bad), std::runtime_error) << bad;
    // Sources that would copy into themselves.
    EXPECT_THROW(m_store.stage("d", "r2"), std::runtime_error);
    EXPECT_THROW(m_store.stage(".", "r2"), std::runtime_error);
    EXPECT_THROW(m_store.stage("d/releases/r1", "r2"), std::runtime_error);
    EXPECT_FALSE(fs::exists("d/releases/r2"));
}

TEST_F(ReleaseStoreTest, SourceWithALinkLeavesNothingBehind)
{
    writeFile("src/a.txt", "a");
    fs::create_symlink("/etc/passwd", "src/escape");
    EXPECT_THROW(m_store.stage("src", "r1"), std::runtime_error);
    EXPECT_FALSE(fs::exists("d/releases/r1"));
    EXPECT_TRUE(fs::is_empty("d/releases"));
}

TEST_F(ReleaseStoreTest, SwitchReplacesTheLinkAndRefusesUnknownReleases)
{
    writeFile("src/a.txt", "a");
    m_store.stage("src", "r1");
    m_store.stage("src", "r2");
    EXPECT_EQ(m_store.current(), "");
    m_store.switchTo("r1");
    EXPECT_EQ(m_store.current(), "r1");
    EXPECT_EQ(readFile("d/current/a.txt"), "a");
    m_store.switchTo("r2");
    EXPECT_EQ(m_store.current(), "r2");
    EXPECT_TRUE(fs::is_symlink("d/current"));
    EXPECT_THROW(m_store.switchTo("r3"), std::runtime_error);
    EXPECT_THROW(m_store.switchTo("../releases/r1"), std::runtime_error);
    EXPECT_EQ(m_store.current(), "r2");
    EXPECT_FALSE(fs::exists(fs::symlink_status("d/.current.next")));
}

TEST_F(ReleaseStoreTest, PruneKeepsCurrentTheNewestOldOnesAndThoseInUse)
{
    writeFile("src/a.txt", "a");
    for (const char* r : {"r1", "r2", "r3", "r4", "r5"})
        m_store.stage("src", r);
    // Ages by folder time: r1 oldest.
    int64_t t = 1700000000;
    for (const char* r : {"r1", "r2", "r3", "r4", "r5"})
        fs::last_write_time("d/releases/" + std::string(r),
                            fs::file_time_type::clock::now() - std::chrono::hours(100 - (t++ - 1700000000)));
    m_store.switchTo("r3");
    EXPECT_EQ(m_store.releases(), (std::vector<std::string>{"r5", "r4", "r3", "r2", "r1"}));
    std::vector<std::string> deleted = m_store.prune(2, {"r1"});
    EXPECT_EQ(deleted, (std::vector<std::string>{"r2"}));
    EXPECT_EQ(m_store.releases(), (std::vector<std::string>{"r5", "r4", "r3", "r1"}));
    EXPECT_EQ(m_store.prune(0, {}), (std::vector<std::string>{"r5", "r4", "r1"}));
    EXPECT_EQ(m_store.releases(), (std::vector<std::string>{"r3"}));
}
