// Calendar time in the user's time zone.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform
{

// t seconds since 1970 UTC as local calendar time; false (out zeroed) when
// the system cannot convert it.
bool localTime(int64_t t, std::tm& out);
// The same in UTC.
bool utcTime(int64_t t, std::tm& out);

} // namespace platform
