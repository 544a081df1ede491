// The tool's callback: collects the worker's events and shows them on stderr,
// as a redrawn progress line on a terminal or as plain status lines otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "newupdatesystem/client/UpdClient.h"

class CProgressDisplay : public IUpdateCallback
{
public:
    CProgressDisplay(std::FILE* out, bool terminal);

    // On the worker thread.
    void onUpdateEvent(int event, const char* text, float value) override;

    // On the main thread, every tick: redraws the progress line on a terminal.
    void tick();
    // Ends the progress line before the final lines are written.
    void finish();

    // "1.5 MB/s", "12 kB/s"; "0:42" / "1:02:03".
    static std::string formatRate(double bytesPerSecond);
    static std::string formatDuration(double seconds);

private:
    using Clock = std::chrono::steady_clock;

    std::FILE* m_out;
    bool m_terminal;
    std::mutex m_mutex;
    Clock::time_point m_started;
    Clock::time_point m_rateStart;
    uint64_t m_rateBytes = 0;
    double m_rate = 0;
    float m_progress = 0;
    Clock::time_point m_progressStart;
    bool m_progressStarted = false;
    std::string m_stateText;
    bool m_drawn = false;
};
