#include "platform/Locale.h"

#include <cstdlib>
#include <initializer_list>

namespace platform
{

uint16_t userDefaultLanguageId()
{
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"})
    {
        const char* value = std::getenv(var);
        if (!value || !*value)
            continue;
        const bool russian = (value[0] == 'r' || value[0] == 'R') && (value[1] == 'u' || value[1] == 'U') &&
                             (value[2] == '\0' || value[2] == '_' || value[2] == '.' || value[2] == '@');
        return russian ? LANG_ID_RUSSIAN : LANG_ID_ENGLISH;
    }
    return LANG_ID_ENGLISH;
}

} // namespace platform
