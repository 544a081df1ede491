// The texts the launcher carries in English and Russian (UTF-8). The set is
// chosen once at process start; language text files override single ids.
#pragma once

#include <cstdint>
#include <string>

enum class BuiltinLanguage
{
    English = 0,
    Russian = 1,
};

void setBuiltinLanguage(BuiltinLanguage language);
BuiltinLanguage builtinLanguage();

// Found: true and the text of the current set; otherwise false.
bool findBuiltinText(int32_t id, std::string& text);
// The text of the current set, or empty when the id is unknown.
std::string builtinText(int32_t id);
// The text of the given set, or empty.
std::string builtinText(int32_t id, BuiltinLanguage language);
