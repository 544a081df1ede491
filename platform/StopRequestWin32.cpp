#include "platform/StopRequest.h"

#include <windows.h>

namespace platform
{

namespace
{

void (*stopHandler)() = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
        event == CTRL_SHUTDOWN_EVENT)
    {
        if (stopHandler)
            stopHandler();
        return TRUE;
    }
    return FALSE;
}

} // namespace

void onStopRequest(void (*handler)())
{
    // A broken pipe is an error return here already, never a signal.
    stopHandler = handler;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace platform
