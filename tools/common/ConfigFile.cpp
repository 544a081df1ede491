#include "tools/common/ConfigFile.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <sstream>

namespace
{
std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Options that only make sense on the command line.
bool commandLineOnly(const std::string& key)
{
    return key == "config" || key == "help" || key == "help-all" || key == "version";
}
} // namespace

std::string CConfigFile::where(unsigned line) const
{
    return m_origin + ":" + std::to_string(line) + ": ";
}

bool CConfigFile::load(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        error = path + ": cannot read the configuration file";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str(), path, error);
}

bool CConfigFile::parse(const std::string& text, const std::string& origin, std::string& error)
{
    m_origin = origin;
    m_entries.clear();
    std::istringstream in(text);
    std::string raw;
    for (unsigned number = 1; std::getline(in, raw); ++number)
    {
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
        {
            error = where(number) + "expected 'option = value', found '" + line + "'";
            return false;
        }
        Entry e;
        e.line = number;
        e.key = trim(line.substr(0, eq));
        std::string value = trim(line.substr(eq + 1));
        if (e.key.empty() || e.key.find_first_of(" \t\"'[]") != std::string::npos)
        {
            error = where(number) + "expected 'option = value', found '" + line + "'";
            return false;
        }
        if (!value.empty() && (value[0] == '"' || value[0] == '\''))
        {
            size_t close = value.find(value[0], 1);
            std::string rest = close == std::string::npos ? std::string() : trim(value.substr(close + 1));
            if (close == std::string::npos || !(rest.empty() || rest[0] == '#'))
            {
                error = where(number) + "the value of '" + e.key + "' is not one quoted string";
                return false;
            }
            e.value = value.substr(1, close - 1);
        }
        else
        {
            size_t comment = value.find('#');
            e.value = trim(value.substr(0, comment));
            if (e.value.empty())
            {
                error = where(number) + "'" + e.key + "' has no value";
                return false;
            }
        }
        for (const Entry& before : m_entries)
        {
            if (before.key == e.key)
            {
                error = where(number) + "'" + e.key + "' is set again (first on line " +
                        std::to_string(before.line) + "); keep one line";
                return false;
            }
        }
        m_entries.push_back(std::move(e));
    }
    return true;
}

bool CConfigFile::applyTo(CLI::App& app, std::string& error) const
{
    for (const Entry& e : m_entries)
    {
        CLI::Option* option = commandLineOnly(e.key) ? nullptr : app.get_option_no_throw("--" + e.key);
        if (!option)
        {
            error = where(e.line) + "unknown option '" + e.key + "'";
            return false;
        }
        if (option->count() != 0)
            continue; // the command line wins
        const bool flag = option->get_expected_max() == 0;
        if (flag && e.value != "true" && e.value != "false")
        {
            error = where(e.line) + "'" + e.key + "' takes true or false, not '" + e.value + "'";
            return false;
        }
        try
        {
            option->add_result(e.value);
            option->run_callback();
        }
        catch (const CLI::Error& failure)
        {
            // The parser's text names the flag; the operator needs the line.
            std::string why = failure.what();
            const std::string flagName = "--" + e.key + ": ";
            if (why.rfind(flagName, 0) == 0)
                why = why.substr(flagName.size());
            error = where(e.line) + "'" + e.key + " = " + e.value + "': " + why;
            return false;
        }
    }
    return true;
}
