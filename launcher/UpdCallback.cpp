#include "launcher/UpdCallback.h"

#include "launcher/ProgressText.h"

#include <cstring>

CUpdCallback::CUpdCallback() : m_clock(tickCount) {}

void CUpdCallback::setTargetWindow(StatusPoster poster)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_targetWindow = std::move(poster);
}

void CUpdCallback::setClock(Clock c)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_clock = std::move(c);
}

void CUpdCallback::onUpdateEvent(int event, const char* eventText, float value)
{
    StatusPoster post;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_targetWindow)
            return;
        switch (event)
        {
        case UPD_EVENT_TRAFFIC:
            m_bytes += static_cast<int32_t>(value + 0.5f);
            return;
        case UPD_EVENT_PROGRESS:
            m_progress = value;
            return;
        case UPD_EVENT_FILE_REQUEST:
        case UPD_EVENT_FILE_RECEIVED:
            if (eventText)
                m_text.assign(eventText, strnlen(eventText, TEXT_SIZE - 1));
            break;
        default:
            break;
        }
        post = m_targetWindow;
    }
    // Posted outside the lock: the lock is never held while calling out.
    post(event);
}

int CUpdCallback::getBytes()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bytes;
}

void CUpdCallback::resetBytes()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_bytes = 0;
}

void CUpdCallback::resetProgress()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_progress = 0;
    m_progressStartTick = m_clock();
}

float CUpdCallback::getProgress()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_progress;
}

float CUpdCallback::elapsedSecondsLocked()
{
    return static_cast<float>(m_clock() - m_progressStartTick) * 0.001f;
}

float CUpdCallback::elapsedSeconds()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return elapsedSecondsLocked();
}

float CUpdCallback::estimateSecondsLeft()
{
    std::lock_guard<std::mutex> guard(m_lock);
    float p = m_progress;
    if (p < 0.001f || p > 0.99f)
        return 0;
    float e = elapsedSecondsLocked();
    if (e < 3)
        return 0;
    float speed = p / e;
    return (1 - p) / speed;
}

std::string CUpdCallback::getText()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_text;
}
