// A tool's configuration file: one "option = value" line per command-line
// option, named without the dashes. Strings may be quoted ("..." or '...'),
// flags take true or false, '#' starts a comment. Strict, so that a typo or a
// line repeated further down never goes unnoticed: every error names the file
// and the line.
#pragma once

#include <string>
#include <vector>

namespace CLI
{
class App;
}

class CConfigFile
{
public:
    struct Entry
    {
        std::string key;
        std::string value;
        unsigned line = 0;
    };

    // False, with "FILE:LINE: what" in error, on a line that is not
    // "option = value", an unclosed quote or an option set twice.
    bool load(const std::string& path, std::string& error);
    bool parse(const std::string& text, const std::string& origin, std::string& error);

    // Gives every entry to the option of app with its name, unless the command
    // line already set that option (the command line wins). False, with
    // "FILE:LINE: what" in error, for an unknown option, a flag whose value is
    // not true or false, or a value the option refuses.
    bool applyTo(CLI::App& app, std::string& error) const;

    const std::vector<Entry>& entries() const { return m_entries; }

private:
    std::string where(unsigned line) const;

    std::string m_origin;
    std::vector<Entry> m_entries;
};
