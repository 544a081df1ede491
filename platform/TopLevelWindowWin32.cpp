#include "platform/TopLevelWindow.h"

#include <windows.h>

namespace platform
{

bool topLevelWindowOfClassExists(const std::string& windowClass)
{
    return FindWindowA(windowClass.c_str(), nullptr) != nullptr;
}

} // namespace platform
