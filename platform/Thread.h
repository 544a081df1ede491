// Operating-system threads as the thread classes need them: created suspended,
// resumed once, waited for with a time-out.
#pragma once

#include <cstdint>

namespace platform
{

struct PlatformThread;
using PlatformThreadProc = void (*)(void* arg);

// Creates a thread that calls proc(arg) only after platformThreadResume. Returns
// null when the thread cannot be created, with the reason in errno.
// stackSize 0 is the system default.
PlatformThread* platformThreadCreate(PlatformThreadProc proc, void* arg, unsigned stackSize,
                                     uint32_t* threadId);
// Lets the thread run; the previous suspend count (1 the first time, then 0).
int platformThreadResume(PlatformThread* thread);
// Waits until proc has returned: without limit for a negative time. True when
// it has; false on time-out.
bool platformThreadJoin(PlatformThread* thread, int64_t milliseconds);
// Windows sets the priority; POSIX systems do not use priorities here and
// always report true.
bool platformThreadSetPriority(PlatformThread* thread, int priority);
// Releases the handle; neither stops nor waits for a running thread. A thread
// that was never resumed ends without calling proc. May be called on the
// thread itself (a thread object that deletes itself).
void platformThreadClose(PlatformThread* thread);

// Lowers the calling thread, and only it, to the lowest scheduling priority
// for work nobody waits for. An unprivileged process cannot raise it again on
// every system, so a thread lowered stays low. False when refused.
bool lowerThreadPriority();
// The calling thread's scheduling priority; higher runs first. Only for
// comparing with another reading on the same system.
int currentThreadPriority();

// Test hook: the next platformThreadCreate fails with EAGAIN.
void platformThreadFailNextCreate();

} // namespace platform
