#include "platform/LocalTime.h"

namespace platform
{

bool localTime(int64_t t, std::tm& out)
{
    // The zone can change while we run (TZ set by a host or a test).
    _tzset();
    const __time64_t value = __time64_t(t);
    if (_localtime64_s(&out, &value) != 0)
    {
        out = std::tm{};
        return false;
    }
    return true;
}

bool utcTime(int64_t t, std::tm& out)
{
    const __time64_t value = __time64_t(t);
    if (_gmtime64_s(&out, &value) != 0)
    {
        out = std::tm{};
        return false;
    }
    return true;
}

} // namespace platform
