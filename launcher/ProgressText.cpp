#include "launcher/ProgressText.h"

#include <cstdio>
#include <ctime>

uint32_t tickCount()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000);
}

bool computeRate(uint32_t bytes, uint32_t elapsedMs, uint32_t& rate)
{
    if (elapsedMs == 0)
        return false;
    // The factor is the single-precision 0.001, slightly above 0.001, so a
    // byte count over exactly one second shows one less: 1024 bytes are 1023 b/s.
    const double factor = static_cast<double>(0.001f);
    double r = static_cast<double>(bytes) / (static_cast<double>(elapsedMs) * factor);
    rate = r >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(r);
    return true;
}

std::string formatRateText(uint32_t rate)
{
    char buf[64];
    if (rate < 1024)
        std::snprintf(buf, sizeof buf, "%i b/s", static_cast<int>(rate));
    else if (rate < 10240)
        std::snprintf(buf, sizeof buf, "%.1f kb/s",
                      static_cast<double>(static_cast<float>(rate) * 0.0009765625f));
    else
        std::snprintf(buf, sizeof buf, "%i kb/s",
                      static_cast<int>((static_cast<uint64_t>(rate) + 512) / 1024));
    return buf;
}

std::string formatTimeText(float secondsLeft)
{
    double s = static_cast<double>(secondsLeft) + 0.5;
    int secs = s <= 0 ? 0 : s >= 2147483647.0 ? 2147483647 : static_cast<int>(s);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", secs / 3600, secs % 3600 / 60, secs % 60);
    return buf;
}

std::string formatTimePattern(const std::string& pattern, int hours, int minutes, int seconds)
{
    const int values[] = {hours, minutes, seconds};
    int next = 0;
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i)
    {
        if (pattern[i] != '%')
        {
            out += pattern[i];
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%')
        {
            out += '%';
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < pattern.size() && std::string("-+ 0#").find(pattern[j]) != std::string::npos)
            ++j;
        while (j < pattern.size() && j - i < 8 && pattern[j] >= '0' && pattern[j] <= '9')
            ++j;
        if (j < pattern.size() && (pattern[j] == 'd' || pattern[j] == 'i') && next < 3)
        {
            std::string spec = pattern.substr(i, j - i) + "d";
            char buf[64];
            std::snprintf(buf, sizeof buf, spec.c_str(), values[next++]);
            out += buf;
            i = j;
        }
        else
            out += '%';
    }
    return out;
}

std::string fillPattern(const std::string& pattern, const std::vector<std::string>& values)
{
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < pattern.size(); ++i)
    {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's')
        {
            if (next < values.size())
                out += values[next];
            ++next;
            ++i;
        }
        else
            out += pattern[i];
    }
    return out;
}

std::string formatBytes(uint64_t bytes)
{
    static const char* const units[] = {"B", "kB", "MB", "GB", "TB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof units / sizeof units[0])
    {
        value /= 1024.0;
        ++unit;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", value, units[unit]);
    return buf;
}
