#include "launcher/LauncherLog.h"

#include "newupdatesystem/client/UpdClient.h"

void launcherLog(const char* text)
{
    IUpdateClient::UpdLog(text);
}
