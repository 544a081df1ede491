// Checks for the self-update script fuzzer.
#pragma once

#include <algorithm>
#include <string>

// The script with each run of single-quoted text or backslash escapes turned
// into one Q: two scripts of the same shape, whatever names they quote, match.
inline std::string shellShape(const std::string& script)
{
    std::string out;
    for (size_t i = 0; i < script.size(); ++i)
    {
        bool quoted = script[i] == '\'' || script[i] == '\\';
        if (script[i] == '\'' && (i = script.find('\'', i + 1)) == std::string::npos)
            __builtin_trap(); // an unterminated quote
        i += script[i] == '\\';
        if (!quoted)
            out += script[i];
        else if (out.empty() || out.back() != 'Q')
            out += 'Q';
    }
    return out;
}

// True when a relative path could name something outside its folder: absolute,
// a drive colon, an empty, "." or ".." component.
inline bool leavesFolder(const std::string& p)
{
    if (p.empty() || p.find(':') != std::string::npos || p.front() == '/' || p.front() == '\\')
        return true;
    for (size_t a = 0, b; a <= p.size(); a = b + 1)
    {
        b = std::min(p.find_first_of("/\\", a), p.size());
        std::string part = p.substr(a, b - a);
        if (part == ".." || part == "." || (part.empty() && b < p.size()))
            return true;
    }
    return false;
}
