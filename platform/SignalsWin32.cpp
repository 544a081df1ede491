#include "platform/Signals.h"

#include "platform/StopRequest.h"

namespace platform
{

// Windows has no reload signal: "up" on a control session does that there.
namespace
{
std::atomic<bool> stopFlag{false};
std::atomic<unsigned> reloadCount{0};

void onStop()
{
    stopFlag.store(true);
}
} // namespace

void watchServerSignals()
{
    platform::onStopRequest(onStop);
}

// Windows raises no signal for a write to a closed connection.
void ignoreBrokenPipe() {}

const std::atomic<bool>& stopSignal()
{
    return stopFlag;
}

const std::atomic<unsigned>& reloadSignal()
{
    return reloadCount;
}

} // namespace platform
