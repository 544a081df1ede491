#include "tools/updctl/ControlSession.h"

#include <chrono>

#include "newupdatesystem/client/UpdClient.h"

bool parseServer(const std::string& text, ControlTarget& target)
{
    size_t colon = text.rfind(':');
    target.host = text.substr(0, colon);
    if (target.host.empty())
        return false;
    if (colon == std::string::npos)
        return true;
    std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long port = std::stoul(digits);
    if (port == 0 || port > 65535)
        return false;
    target.port = static_cast<unsigned>(port);
    return true;
}

int runControlCommand(const ControlTarget& target, const std::string& text, std::vector<std::string>& echoes)
{
    echoes.clear();
    // No local list is read or written by a command job.
    IUpdateClient* client = IUpdateClient::create(target.host.c_str(), target.port, "");
    if (!client)
        return UPD_SYSTEM_ERROR;
    if (!target.login.empty())
        client->setLogin(target.login.c_str(), target.password.c_str());
    if (!target.tlsCa.empty())
        client->setTlsTrust(target.tlsCa.c_str());
    client->setCommand(text.c_str());
    client->start();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(target.deadlineSeconds);
    bool stopped = false;
    while (!client->wait(0.2))
    {
        if (!stopped && std::chrono::steady_clock::now() > deadline)
        {
            stopped = true;
            client->stop();
        }
    }
    int status = stopped ? UPD_INTERNAL_ERROR : client->getStatus();
    for (int i = 0; i < client->getEchoCount(); ++i)
        echoes.emplace_back(client->getEcho(static_cast<unsigned>(i)));
    client->release();
    return status;
}
