#include "launcher/UpdCallback.h"

#include "launcher/ProgressText.h"

#include <cstring>

CUpdCallback::CUpdCallback() : clock(tickCount) {}

void CUpdCallback::setTargetWindow(StatusPoster poster)
{
    std::lock_guard<std::mutex> guard(lock);
    targetWindow = std::move(poster);
}

void CUpdCallback::setClock(Clock c)
{
    std::lock_guard<std::mutex> guard(lock);
    clock = std::move(c);
}

void CUpdCallback::onUpdateEvent(int event, const char* eventText, float value)
{
    StatusPoster post;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!targetWindow)
            return;
        switch (event)
        {
        case UPD_EVENT_TRAFFIC:
            bytes += static_cast<int32_t>(value + 0.5f);
            return;
        case UPD_EVENT_PROGRESS:
            progress = value;
            return;
        case UPD_EVENT_FILE_REQUEST:
        case UPD_EVENT_FILE_RECEIVED:
            if (eventText)
                text.assign(eventText, strnlen(eventText, TEXT_SIZE - 1));
            break;
        default:
            break;
        }
        post = targetWindow;
    }
    // Posted outside the lock: the lock is never held while calling out.
    post(event);
}

int CUpdCallback::getBytes()
{
    std::lock_guard<std::mutex> guard(lock);
    return bytes;
}

void CUpdCallback::resetBytes()
{
    std::lock_guard<std::mutex> guard(lock);
    bytes = 0;
}

void CUpdCallback::resetProgress()
{
    std::lock_guard<std::mutex> guard(lock);
    progress = 0;
    progressStartTick = clock();
}

float CUpdCallback::getProgress()
{
    std::lock_guard<std::mutex> guard(lock);
    return progress;
}

float CUpdCallback::elapsedSecondsLocked()
{
    return static_cast<float>(clock() - progressStartTick) * 0.001f;
}

float CUpdCallback::elapsedSeconds()
{
    std::lock_guard<std::mutex> guard(lock);
    return elapsedSecondsLocked();
}

float CUpdCallback::estimateSecondsLeft()
{
    std::lock_guard<std::mutex> guard(lock);
    float p = progress;
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
    std::lock_guard<std::mutex> guard(lock);
    return text;
}
