#include "tools/common/ConfigFile.h"

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

namespace
{
struct Tool
{
    CLI::App app{"tool"};
    unsigned port = 1;
    std::string root;
    bool prepack = false;
    bool anonymous = true;

    Tool()
    {
        app.add_option("--port", port)->check(CLI::Range(0u, 65535u));
        app.add_option("--root", root);
        app.add_flag("--prepack", prepack);
        app.add_flag("--allow-anonymous-changes", anonymous);
        app.add_option("--config", root);
    }

    // Parses the command line, then the file; the error or "".
    std::string run(const std::string& text, std::vector<std::string> args = {})
    {
        std::vector<const char*> argv{"tool"};
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        app.parse(static_cast<int>(argv.size()), argv.data());
        CConfigFile file;
        std::string error;
        if (!file.parse(text, "/etc/t.conf", error) || !file.applyTo(app, error))
            return error;
        return "";
    }
};
} // namespace

TEST(ConfigFileTest, ValuesFlagsQuotesCommentsAndTheCommandLineWins)
{
    Tool t;
    EXPECT_EQ(t.run("# comment\n\n  root = \"/srv/a b\"  # after\nport = 99 # note\nprepack = true\r\n"
                    "allow-anonymous-changes = false\n"),
              "");
    EXPECT_EQ(t.root, "/srv/a b");
    EXPECT_EQ(t.port, 99u);
    EXPECT_TRUE(t.prepack);
    EXPECT_FALSE(t.anonymous);

    Tool u;
    // A bad value is not even looked at when the command line names the option.
    EXPECT_EQ(u.run("port = 70000\nroot = '/x'\n", {"--port", "5"}), "");
    EXPECT_EQ(u.port, 5u);
    EXPECT_EQ(u.root, "/x");
}

TEST(ConfigFileTest, EveryMistakeNamesFileAndLine)
{
    struct Case
    {
        const char* text;
        const char* error;
    } cases[] = {
        {"root = /a\nprepak = true\n", "/etc/t.conf:2: unknown option 'prepak'"},
        {"port = 1\nroot = /a\n\nport = 2\n",
         "/etc/t.conf:4: 'port' is set again (first on line 1); keep one line"},
        {"port = 1\nport = 2\n", "/etc/t.conf:2: 'port' is set again (first on line 1); keep one line"},
        {"\nprepack = yes\n", "/etc/t.conf:2: 'prepack' takes true or false, not 'yes'"},
        {"prepack = 1\n", "/etc/t.conf:1: 'prepack' takes true or false, not '1'"},
        {"root\n", "/etc/t.conf:1: expected 'option = value', found 'root'"},
        {"root = \"/a\n", "/etc/t.conf:1: the value of 'root' is not one quoted string"},
        {"root =\n", "/etc/t.conf:1: 'root' has no value"},
        {"config = /b\n", "/etc/t.conf:1: unknown option 'config'"},
        {"--port = 2\n", "/etc/t.conf:1: unknown option '--port'"},
    };
    for (const Case& c : cases)
    {
        Tool t;
        EXPECT_EQ(t.run(c.text), c.error) << c.text;
    }
    Tool range;
    std::string error = range.run("root = /a\nport = 70000\n");
    EXPECT_EQ(error.rfind("/etc/t.conf:2: 'port = 70000': ", 0), 0u) << error;
    EXPECT_EQ(error.find("--port"), std::string::npos) << error;
}
