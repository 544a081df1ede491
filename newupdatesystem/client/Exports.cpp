// The library's two exports: the factory and the log function.
#include <new>

#include "newupdatesystem/Common/Log.h"
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
