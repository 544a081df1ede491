#include "platform/Locale.h"

#include <windows.h>

namespace platform
{

uint16_t userDefaultLanguageId()
{
    return PRIMARYLANGID(GetUserDefaultLangID()) == LANG_RUSSIAN ? LANG_ID_RUSSIAN : LANG_ID_ENGLISH;
}

} // namespace platform
