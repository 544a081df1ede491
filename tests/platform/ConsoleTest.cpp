#include "platform/Console.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace
{

std::string readAll(std::FILE* f)
{
    std::rewind(f);
    std::string text;
    char chunk[256];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        text.append(chunk, n);
    return text;
}

TEST(Console, WindowsAttributesBecomeAnsiColours)
{
    EXPECT_STREQ(platform::consoleAnsiColour(platform::CONSOLE_BRIGHT_CYAN), "\x1b[96m");
    EXPECT_STREQ(platform::consoleAnsiColour(platform::CONSOLE_BRIGHT_RED), "\x1b[91m");
    EXPECT_STREQ(platform::consoleAnsiColour(2), "\x1b[32m");
    EXPECT_STREQ(platform::consoleAnsiColour(15), "\x1b[97m");
}

TEST(Console, PlainTextWhenNotATerminal)
{
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(platform::consoleIsTerminal(f));
    platform::consoleWrite(f, "warn", 4, platform::CONSOLE_BRIGHT_CYAN);
    EXPECT_EQ(readAll(f), "warn");
    std::fclose(f);
}

TEST(Console, ColoursAndRestoresOnATerminal)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::FILE* terminal = std::fopen(ptsname(master), "w");
    ASSERT_NE(terminal, nullptr);
    EXPECT_TRUE(platform::consoleIsTerminal(terminal));
    platform::consoleWrite(terminal, "err", 3, platform::CONSOLE_BRIGHT_RED);

    std::string expected = "\x1b[91merr\x1b[0m";
    std::string seen;
    char chunk[64];
    while (seen.size() < expected.size())
    {
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n <= 0)
            break;
        seen.append(chunk, static_cast<size_t>(n));
    }
    EXPECT_EQ(seen, expected);
    std::fclose(terminal);
    close(master);
}

} // namespace
