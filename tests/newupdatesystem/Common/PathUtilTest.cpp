#include "newupdatesystem/Common/PathUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

TEST(PathUtil, NormalizePathLowersAndTurnsSeparators)
{
    char path[PATH_BUFFER_SIZE] = "Data\\Maps\\A.BIN";
    normalizePath(path);
    EXPECT_STREQ(path, "data/maps/a.bin");
    char bytes[PATH_BUFFER_SIZE] = "\xC0\xE1Z\\"; // non-ASCII bytes stay
    normalizePath(bytes);
    EXPECT_STREQ(bytes, "\xC0\xE1z/");
}

TEST(PathUtil, AddTrailingSlashBothForms)
{
    for (const char* unchanged : {"", "dir/", "dir\\"})
    {
        char buffer[PATH_BUFFER_SIZE];
        strcpy(buffer, unchanged);
        addTrailingSlash(buffer);
        EXPECT_STREQ(buffer, unchanged);
        std::string s = unchanged;
        addTrailingSlash(s);
        EXPECT_EQ(s, unchanged);
    }
    char buffer[PATH_BUFFER_SIZE] = "dir";
    addTrailingSlash(buffer);
    EXPECT_STREQ(buffer, "dir/");
    std::string s = "dir";
    addTrailingSlash(s);
    EXPECT_EQ(s, "dir/");

    // A full buffer is never overrun.
    char full[PATH_BUFFER_SIZE + 1];
    memset(full, 'x', MAX_PATH_LENGTH);
    full[MAX_PATH_LENGTH] = '\0';
    full[PATH_BUFFER_SIZE] = '#';
    addTrailingSlash(full);
    EXPECT_EQ(strlen(full), MAX_PATH_LENGTH);
    EXPECT_EQ(full[PATH_BUFFER_SIZE], '#');
}

TEST(PathUtil, AppendCutsAt511Characters)
{
    char buffer[PATH_BUFFER_SIZE + 1];
    buffer[PATH_BUFFER_SIZE] = '#';
    pathCopy(buffer, std::string(500, 'a').c_str());
    pathAppend(buffer, std::string(100, 'b').c_str());
    EXPECT_EQ(strlen(buffer), MAX_PATH_LENGTH);
    EXPECT_EQ(buffer[MAX_PATH_LENGTH - 1], 'b');
    EXPECT_EQ(buffer[PATH_BUFFER_SIZE], '#');
}

namespace
{

struct Step
{
    std::string component;
    bool more;
};

// Components until the path is used up or the tokenizer turns invalid.
std::vector<Step> walk(const char* path, bool lower, bool* validAtEnd = nullptr)
{
    std::vector<Step> steps;
    PathTokenizer t(path, lower);
    while (t.valid)
    {
        steps.push_back({t.component, t.more});
        if (t.atEnd())
        {
            break;
        }
        t.next();
    }
    if (validAtEnd)
    {
        *validAtEnd = t.valid;
    }
    return steps;
}

} // namespace

TEST(PathTokenizer, FolderAndFilePaths)
{
    auto folder = walk("a/b/", false);
    ASSERT_EQ(folder.size(), 2u);
    EXPECT_EQ(folder[0].component, "a");
    EXPECT_TRUE(folder[0].more);
    EXPECT_EQ(folder[1].component, "b");
    EXPECT_TRUE(folder[1].more);

    auto file = walk("A\\B", true);
    ASSERT_EQ(file.size(), 2u);
    EXPECT_EQ(file[0].component, "a");
    EXPECT_EQ(file[1].component, "b");
    EXPECT_FALSE(file[1].more);
}

TEST(PathTokenizer, UsedUpPathKeepsLastComponent)
{
    PathTokenizer t("x/y", false);
    ASSERT_TRUE(t.next());
    EXPECT_STREQ(t.component, "y");
    EXPECT_TRUE(t.next());
    EXPECT_STREQ(t.component, "y");
    EXPECT_FALSE(t.more);

    PathTokenizer empty("", false);
    EXPECT_TRUE(empty.valid);
    EXPECT_STREQ(empty.component, "");
    EXPECT_FALSE(empty.more);
}

TEST(PathTokenizer, MalformedComponentsInvalidate)
{
    bool valid = true;
    auto steps = walk("dir//file", false, &valid);
    EXPECT_FALSE(valid);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].component, "dir");

    PathTokenizer leading("/x", false);
    EXPECT_FALSE(leading.valid);
    EXPECT_FALSE(leading.next());

    std::string name127(127, 'n');
    PathTokenizer ok(name127.c_str(), false);
    EXPECT_TRUE(ok.valid);
    EXPECT_EQ(std::string(ok.component), name127);

    std::string name128 = "d/" + std::string(128, 'n');
    PathTokenizer tooLong(name128.c_str(), false);
    EXPECT_TRUE(tooLong.valid);
    EXPECT_FALSE(tooLong.next());
    EXPECT_FALSE(tooLong.valid);
}
