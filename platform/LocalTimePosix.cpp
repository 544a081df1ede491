#include "platform/LocalTime.h"

namespace platform
{

bool localTime(int64_t t, std::tm& out)
{
    // The zone can change while we run (TZ set by a host or a test).
    tzset();
    const std::time_t value = std::time_t(t);
    if (localtime_r(&value, &out) == nullptr)
    {
        out = std::tm{};
        return false;
    }
    return true;
}

bool utcTime(int64_t t, std::tm& out)
{
    const std::time_t value = std::time_t(t);
    if (gmtime_r(&value, &out) == nullptr)
    {
        out = std::tm{};
        return false;
    }
    return true;
}

} // namespace platform
