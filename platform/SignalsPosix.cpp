#include "platform/Signals.h"

#include <signal.h>

namespace platform
{

namespace
{
std::atomic<bool> stopFlag{false};
std::atomic<unsigned> reloadCount{0};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<unsigned>::is_always_lock_free,
              "signal handlers may only touch lock-free atomics");

void onStop(int)
{
    stopFlag.store(true);
}

void onReload(int)
{
    reloadCount.fetch_add(1);
}

void install(int number, void (*handler)(int))
{
    struct sigaction sa
    {
    };
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(number, &sa, nullptr);
}
} // namespace

void watchServerSignals()
{
    install(SIGTERM, onStop);
    install(SIGINT, onStop);
    install(SIGHUP, onReload);
    ignoreBrokenPipe();
}

void ignoreBrokenPipe()
{
    signal(SIGPIPE, SIG_IGN);
}

const std::atomic<bool>& stopSignal()
{
    return stopFlag;
}

const std::atomic<unsigned>& reloadSignal()
{
    return reloadCount;
}

} // namespace platform
