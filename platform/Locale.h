// The user's language, as the launcher needs it: Russian or not.
#pragma once

#include <cstdint>

namespace platform
{

constexpr uint16_t LANG_ID_ENGLISH = 1033;
constexpr uint16_t LANG_ID_RUSSIAN = 1049;

// From the first set one of LC_ALL, LC_MESSAGES and LANG (the order the C
// library gives them): LANG_ID_RUSSIAN when it names Russian ("ru",
// "ru_RU.UTF-8", "ru_UA@..."), else LANG_ID_ENGLISH.
uint16_t userDefaultLanguageId();

} // namespace platform
