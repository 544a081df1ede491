#include "tools/updclient/Progress.h"

#include "tools/updclient/StatusText.h"

CProgressDisplay::CProgressDisplay(std::FILE* out, bool terminal)
    : m_out(out), m_terminal(terminal), m_started(Clock::now()), m_rateStart(m_started),
      m_progressStart(m_started)
{
}

void CProgressDisplay::onUpdateEvent(int event, const char* text, float value)
{
    std::lock_guard<std::mutex> hold(m_mutex);
    if (event == UPD_EVENT_TRAFFIC)
    {
        m_rateBytes += static_cast<uint64_t>(value);
        return;
    }
    if (event == UPD_EVENT_PROGRESS)
    {
        if (!m_progressStarted)
        {
            m_progressStarted = true;
            m_progressStart = Clock::now();
        }
        m_progress = value < 0 ? 0 : (value > 1 ? 1 : value);
        return;
    }
    m_stateText = eventText(event);
    if (text)
    {
        m_stateText += ' ';
        m_stateText += text;
    }
    if (!m_terminal)
    {
        std::fprintf(m_out, "%s\n", m_stateText.c_str());
        std::fflush(m_out);
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
        std::snprintf(buffer, sizeof(buffer), "%llu:%02llu:%02llu", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(buffer, sizeof(buffer), "%llu:%02llu", total / 60, total % 60);
    return buffer;
}

void CProgressDisplay::tick()
{
    if (!m_terminal)
        return;
    std::lock_guard<std::mutex> hold(m_mutex);
    auto now = Clock::now();
    double window = std::chrono::duration<double>(now - m_rateStart).count();
    if (window >= 1.0)
    {
        m_rate = static_cast<double>(m_rateBytes) / window;
        m_rateBytes = 0;
        m_rateStart = now;
    }
    constexpr int width = 30;
    int filled = static_cast<int>(m_progress * width + 0.5f);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    std::string left = "--:--";
    if (m_progressStarted && m_progress > 0.0f && m_progress < 1.0f)
    {
        double spent = std::chrono::duration<double>(now - m_progressStart).count();
        left = formatDuration(spent * (1.0 - m_progress) / m_progress);
    }
    std::string state = m_stateText;
    if (state.size() > 40)
        state = "..." + state.substr(state.size() - 37);
    std::fprintf(m_out, "\r\033[K[%s] %3d%%  %s  Time remaining: %s  %s", bar.c_str(),
                 static_cast<int>(m_progress * 100.0f + 0.5f), formatRate(m_rate).c_str(), left.c_str(),
                 state.c_str());
    std::fflush(m_out);
    m_drawn = true;
}

void CProgressDisplay::finish()
{
    std::lock_guard<std::mutex> hold(m_mutex);
    if (m_drawn)
    {
        std::fprintf(m_out, "\n");
        std::fflush(m_out);
        m_drawn = false;
    }
}
