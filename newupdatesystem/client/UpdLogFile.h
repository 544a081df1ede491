// Where the update client library's log writes its daily file. Hosts that do
// not call this keep the default: the file opens in the current folder with the
// first message. Call before starting a job; any thread may call it.
#pragma once

#include "newupdatesystem/client/UpdClient.h"

// folder: where the file goes (null or empty: the current folder);
// enabled 0: no log file at all, messages reach only the console.
extern "C" UPD_API void UPD_CALL UpdSetLogFile(const char* folder, int enabled);
