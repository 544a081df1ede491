#include "platform/LocalTime.h"

namespace platform
{

bool localTime(int64_t t, std::tm& out)
{
    const std::time_t value = std::time_t(t);
    if (localtime_r(&value, &out) == nullptr)
    {
        out = std::tm{};
        return false;
    }
    return true;
}

} // namespace platform
