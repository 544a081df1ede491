#include "platform/StopRequest.h"

#include <signal.h>

namespace platform
{

namespace
{

void (*stopHandler)() = nullptr;

void onSignal(int)
{
    if (stopHandler)
        stopHandler();
}

} // namespace

void onStopRequest(void (*handler)())
{
    stopHandler = handler;
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

} // namespace platform
