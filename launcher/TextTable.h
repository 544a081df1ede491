// Texts by id: those of the chosen language text file first, then the
// built-in set. A language text file is an INI file whose section "Language"
// has text ids as keys and texts as values.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class CTextTable
{
public:
    // Replaces the table with the texts of the file; a missing file leaves
    // it empty, so every text comes from the built-in set.
    void load(const std::string& textFile);
    // The file's text if the id is present (even empty), else the built-in
    // text, else an empty string.
    std::string text(int32_t id) const;
    size_t size() const { return m_texts.size(); }

private:
    std::map<int32_t, std::string> m_texts;
};
