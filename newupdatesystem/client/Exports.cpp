// The library's exports: the factory and the log function, and the choice of
// the log's file for hosts that make it.
#include <new>

#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/LogControl.h"
#include "newupdatesystem/client/UpdLogFile.h"
#include "newupdatesystem/client/UpdateClient.h"

IUpdateClient* UPD_CALL IUpdateClient::create(const char* host, unsigned int port, const char* listFileName)
{
    try
    {
        return new CUpdateClient(host, port, listFileName);
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
}

void UPD_CALL IUpdateClient::UpdLog(const char* text)
{
    logInfo("%s", text ? text : "");
}

void UPD_CALL UpdSetLogFile(const char* folder, int enabled)
{
    if (enabled)
        logSetFolder(folder ? folder : "");
    else
        logStop();
}
