// Skips a test that pins what only a POSIX system with case-sensitive disks
// shows (its error texts, two names differing in case, symbolic links).
#pragma once

#include <gtest/gtest.h>

#if defined(_WIN32)
#define SKIP_ON_WINDOWS(reason) GTEST_SKIP() << (reason)
#else
#define SKIP_ON_WINDOWS(reason) static_cast<void>(0)
#endif
