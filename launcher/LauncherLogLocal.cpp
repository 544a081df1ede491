#include "launcher/LauncherLog.h"

#include "newupdatesystem/Common/Log.h"

void launcherLog(const char* text)
{
    logInfo("%s", text);
}
