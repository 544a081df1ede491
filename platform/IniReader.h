// INI reading with the semantics our configuration files were written for:
// section and key names match without regard to ASCII letter case, blanks
// around names and values are dropped, a value in a matching pair of double or
// single quotes loses them, the first of duplicate sections or keys wins.
// Lines starting with ';' are comments; a line without '=' inside a section is
// ignored; entries before the first section belong to no section.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform
{

class IniReader
{
public:
    // Longest value handed out, in bytes; longer values are cut.
    static constexpr size_t MaxValueLength = 1023;
    // Name lists are gathered as if into a buffer of this many bytes: each name
    // takes its length plus a NUL, the list's own terminating NUL is kept free,
    // and names that do not fit are dropped.
    static constexpr size_t NameBufferSize = 4096;

    // Larger files are not read at all.
    static constexpr long long MaxFileSize = 16 * 1024 * 1024;

    IniReader() = default;
    explicit IniReader(std::string_view text);

    // Reads a regular file; a file that cannot be read gives an empty reader. Text that
    // is not valid UTF-8 is taken as Windows-1251 and converted.
    static IniReader fromFile(const std::string& path);

    bool getString(std::string_view section, std::string_view key, std::string& value) const;
    std::string getString(std::string_view section, std::string_view key, std::string_view def) const;
    // The value of the leading decimal digits of the value (0 when none);
    // def only when the key is missing.
    int getInt(std::string_view section, std::string_view key, int def) const;
    std::vector<std::string> getSectionNames() const;
    std::vector<std::string> getKeyNames(std::string_view section) const;

private:
    struct Entry
    {
        std::string key;
        std::string value;
    };
    struct Section
    {
        std::string name;
        std::vector<Entry> entries;
    };

    const Section* findSection(std::string_view name) const;

    std::vector<Section> m_sections;
};

// The number at the start of a text as atoi reads it: leading blanks, an
// optional sign, then decimal digits; 0 when there are none. Saturates
// instead of overflowing.
int leadingInt(std::string_view text);

} // namespace platform
