// The launcher's listener for the update client. The worker thread calls
// onUpdateEvent: traffic and progress only add to counters under the lock,
// every other event is posted to the window's thread, which reads the file
// name back through getText.
#pragma once

#include "newupdatesystem/client/UpdClient.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class CUpdCallback : public IUpdateCallback
{
public:
    // Posts an event to the window's thread; called from the worker thread.
    using StatusPoster = std::function<void(int event)>;
    using Clock = std::function<uint32_t()>;

    CUpdCallback();
    virtual ~CUpdCallback() = default;
    CUpdCallback(const CUpdCallback&) = delete;
    CUpdCallback& operator=(const CUpdCallback&) = delete;

    void onUpdateEvent(int event, const char* text, float value) override;

    // Events arriving before a target is set are dropped.
    void setTargetWindow(StatusPoster poster);
    void setClock(Clock clock);

    int getBytes();
    void resetBytes();
    void resetProgress();
    float getProgress();
    float elapsedSeconds();
    float estimateSecondsLeft();
    std::string getText();

    static constexpr size_t TEXT_SIZE = 1024;

private:
    float elapsedSecondsLocked();

    std::mutex m_lock;
    StatusPoster m_targetWindow;
    Clock m_clock;
    int32_t m_bytes = 0;
    float m_progress = 0;
    uint32_t m_progressStartTick = 0;
    std::string m_text; // at most TEXT_SIZE - 1 bytes
};
