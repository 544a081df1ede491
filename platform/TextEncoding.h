// 8-bit texts are UTF-8 in our build. Older installations carry text files in
// Windows-1251; these helpers let readers accept both.
#pragma once

#include <string>
#include <string_view>

namespace platform
{

bool isValidUtf8(std::string_view text);

// Converts Windows-1251 text to UTF-8. Bytes the code page leaves undefined
// become U+FFFD, so the result is always valid UTF-8.
std::string cp1251ToUtf8(std::string_view text);

// The text itself when it is valid UTF-8, else its conversion from Windows-1251.
std::string toUtf8FromLegacy(std::string_view text);

// The longest prefix of at most maxBytes bytes that does not end inside a
// UTF-8 sequence (for texts that are valid UTF-8).
size_t utf8CutLength(std::string_view text, size_t maxBytes);

} // namespace platform
