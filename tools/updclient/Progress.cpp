#include "tools/updclient/Progress.h"

#include "tools/updclient/StatusText.h"

CProgressDisplay::CProgressDisplay(std::FILE* out, bool terminal)
    : out(out), terminal(terminal), started(Clock::now()), rateStart(started), progressStart(started)
{
}

void CProgressDisplay::onUpdateEvent(int event, const char* text, float value)
{
    std::lock_guard<std::mutex> hold(mutex);
    if (event == UPD_EVENT_TRAFFIC)
    {
        rateBytes += static_cast<uint64_t>(value);
        return;
    }
    if (event == UPD_EVENT_PROGRESS)
    {
        if (!progressStarted)
        {
            progressStarted = true;
            progressStart = Clock::now();
        }
        progress = value < 0 ? 0 : (value > 1 ? 1 : value);
        return;
    }
    stateText = eventText(event);
    if (text)
    {
        stateText += ' ';
        stateText += text;
    }
    if (!terminal)
    {
        std::fprintf(out, "%s\n", stateText.c_str());
        std::fflush(out);
    }
}

std::string CProgressDisplay::formatRate(double bytesPerSecond)
{
    char buffer[32];
    if (bytesPerSecond >= 1024.0 * 1024.0)
        std::snprintf(buffer, sizeof(buffer), "%.1f MB/s", bytesPerSecond / (1024.0 * 1024.0));
    else
        std::snprintf(buffer, sizeof(buffer), "%.0f kB/s", bytesPerSecond / 1024.0);
    return buffer;
}

std::string CProgressDisplay::formatDuration(double seconds)
{
    if (seconds < 0)
        seconds = 0;
    auto total = static_cast<unsigned long long>(seconds + 0.5);
    char buffer[32];
    if (total >= 3600)
        std::snprintf(buffer, sizeof(buffer), "%llu:%02llu:%02llu", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(buffer, sizeof(buffer), "%llu:%02llu", total / 60, total % 60);
    return buffer;
}

void CProgressDisplay::tick()
{
    if (!terminal)
        return;
    std::lock_guard<std::mutex> hold(mutex);
    auto now = Clock::now();
    double window = std::chrono::duration<double>(now - rateStart).count();
    if (window >= 1.0)
    {
        rate = static_cast<double>(rateBytes) / window;
        rateBytes = 0;
        rateStart = now;
    }
    constexpr int width = 30;
    int filled = static_cast<int>(progress * width + 0.5f);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    std::string left = "--:--";
    if (progressStarted && progress > 0.0f && progress < 1.0f)
    {
        double spent = std::chrono::duration<double>(now - progressStart).count();
        left = formatDuration(spent * (1.0 - progress) / progress);
    }
    std::string state = stateText;
    if (state.size() > 40)
        state = "..." + state.substr(state.size() - 37);
    std::fprintf(out, "\r\033[K[%s] %3d%%  %s  Time remaining: %s  %s", bar.c_str(),
                 static_cast<int>(progress * 100.0f + 0.5f), formatRate(rate).c_str(), left.c_str(),
                 state.c_str());
    std::fflush(out);
    drawn = true;
}

void CProgressDisplay::finish()
{
    std::lock_guard<std::mutex> hold(mutex);
    if (drawn)
    {
        std::fprintf(out, "\n");
        std::fflush(out);
        drawn = false;
    }
}
