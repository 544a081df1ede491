#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/PlatformSkip.h"
#include "support/Sandbox.h"
#include "tools/updserver/PathGuard.h"

namespace fs = std::filesystem;

TEST(PathGuardNormalize, AcceptsRelativePathsInEitherSeparator)
{
    std::string out;
    EXPECT_TRUE(CPathGuard::normalize("a/b\\c.txt", out));
    EXPECT_EQ(out, "a/b/c.txt");
    EXPECT_TRUE(CPathGuard::normalize("folder/", out));
    EXPECT_EQ(out, "folder");
    EXPECT_TRUE(CPathGuard::normalize("..hidden", out)); // a name, not a parent step
}

TEST(PathGuardNormalize, RejectsEverythingThatCouldLeaveTheRoot)
{
    std::string out;
    for (const char* bad : {"", "/etc/passwd", "\\x", "..", "../x", "a/../../x", "a/./b", "a//b", "C:/x",
                            "c:x", "a/\x01", "/", "a\\..\\b"})
        EXPECT_FALSE(CPathGuard::normalize(bad, out)) << bad;
    EXPECT_FALSE(CPathGuard::normalize(std::string(128, 'n'), out));
    EXPECT_TRUE(CPathGuard::normalize(std::string(127, 'n'), out));
    std::string longPath;
    while (longPath.size() < 512)
        longPath += "abcdefg/";
    EXPECT_FALSE(CPathGuard::normalize(longPath, out));
}

class PathGuardResolve : public SandboxTest
{
protected:
    void SetUp() override
    {
        fs::create_directories("root/Textures/Sky");
        std::ofstream("root/Textures/Sky/Blue.PNG") << "x";
        std::ofstream("outside.txt") << "secret";
    }
    CPathGuard m_guard{fs::absolute("root")};
};

TEST_F(PathGuardResolve, FindsExistingEntriesWithoutRegardToCase)
{
    SKIP_ON_WINDOWS("the disk ignores case itself");
    fs::path out;
    ASSERT_TRUE(m_guard.map("textures/sky/blue.png", out));
    EXPECT_EQ(out, m_guard.root() / "Textures/Sky/Blue.PNG");
    // Missing components keep the case given, below the matched ones.
    ASSERT_TRUE(m_guard.map("textures/new/file.txt", out));
    EXPECT_EQ(out, m_guard.root() / "Textures/new/file.txt");
}

TEST_F(PathGuardResolve, RefusesSymbolicLinksAndFilesUsedAsFolders)
{
    SKIP_ON_WINDOWS("symbolic links need a privilege there");
    fs::create_directory_symlink(fs::absolute("."), "root/escape");
    fs::path out;
    EXPECT_FALSE(m_guard.map("escape/outside.txt", out));
    EXPECT_FALSE(m_guard.map("ESCAPE/outside.txt", out));
    EXPECT_FALSE(m_guard.map("textures/sky/blue.png/x", out));
}

TEST_F(PathGuardResolve, ReadingFollowsLinksOnlyWhileTheyStayInsideTheRoot)
{
    SKIP_ON_WINDOWS("symbolic links need a privilege there");
    fs::create_symlink("Textures/Sky/Blue.PNG", "root/Sky.png");
    fs::create_symlink(fs::absolute("outside.txt"), "root/out.txt");
    fs::create_symlink("../outside.txt", "root/Textures/up.txt");
    fs::create_symlink("missing.txt", "root/dangling.txt");
    fs::create_directory_symlink(fs::absolute("."), "root/escape");
    fs::path out;
    ASSERT_TRUE(m_guard.resolve("sky.png", out, CPathGuard::FOLLOW_LINKS_INSIDE));
    EXPECT_EQ(out, fs::canonical("root/Textures/Sky/Blue.PNG"));
    EXPECT_FALSE(m_guard.resolve("sky.png", out)) << "changes never go through a link";
    EXPECT_FALSE(m_guard.resolve("out.txt", out, CPathGuard::FOLLOW_LINKS_INSIDE));
    EXPECT_FALSE(m_guard.resolve("textures/up.txt", out, CPathGuard::FOLLOW_LINKS_INSIDE));
    EXPECT_FALSE(m_guard.resolve("dangling.txt", out, CPathGuard::FOLLOW_LINKS_INSIDE));
    EXPECT_FALSE(m_guard.resolve("escape/outside.txt", out, CPathGuard::FOLLOW_LINKS_INSIDE));
    // The root's own link back into itself is inside.
    EXPECT_TRUE(m_guard.resolve("escape/root/textures/sky/blue.png", out, CPathGuard::FOLLOW_LINKS_INSIDE));
}
