// wildcardMatch on arbitrary name and pattern components (up to 127 bytes each,
// as the tokenizer hands them over): always answers, and quickly.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "newupdatesystem/Common/Wildcard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    std::string name = input.substr(0, split).substr(0, 127);
    std::string pattern = split == std::string::npos ? std::string() : input.substr(split + 1);
    pattern = pattern.substr(0, pattern.find('\0')).substr(0, 127);

    const bool matched = wildcardMatch(name.c_str(), pattern.c_str());
    // A pattern without wildcards matches exactly its own text, case aside.
    if (pattern.find_first_of("*?") == std::string::npos)
    {
        bool same = name.size() == pattern.size();
        for (size_t i = 0; same && i < name.size(); ++i)
            same = std::tolower(uint8_t(name[i])) == std::tolower(uint8_t(pattern[i])) ||
                   (uint8_t(name[i]) >= 0x80 && name[i] == pattern[i]);
        if (matched != same)
            __builtin_trap();
    }
    // A lone star matches everything; the name matches itself.
    if (!wildcardMatch(name.c_str(), "*"))
        __builtin_trap();
    if (name.find_first_of("*?") == std::string::npos && !wildcardMatch(name.c_str(), name.c_str()))
        __builtin_trap();
    return 0;
}
