#include "tools/updserver/MetricsEndpoint.h"

#include <chrono>
#include <stdexcept>

namespace
{
constexpr int kAcceptPollMs = 200;
// A scraper sends its request at once; anything slower is not one.
constexpr int kRequestDeadlineMs = 2000;
constexpr size_t kMaxRequestHead = 8192;

std::string reply(const char* status, const char* type, const std::string& body)
{
    return std::string("HTTP/1.0 ") + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}
} // namespace

void CMetricsEndpoint::start(const std::string& address, Source src)
{
    std::string host = "127.0.0.1", digits = address;
    size_t colon = address.rfind(':');
    if (colon != std::string::npos)
    {
        host = address.substr(0, colon);
        digits = address.substr(colon + 1);
    }
    if (host.empty() || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoul(digits) > 65535)
        throw std::invalid_argument("metrics address '" + address + "' is not HOST:PORT");
    m_source = std::move(src);
    m_listener.listenOn(host, static_cast<uint16_t>(std::stoul(digits)), 16);
    m_worker = std::thread([this] { loop(); });
}

void CMetricsEndpoint::stop()
{
    m_stopping = true;
    if (m_worker.joinable())
        m_worker.join();
    waitForAnswers();
    m_listener.close();
}

void CMetricsEndpoint::loop()
{
    while (!m_stopping.load())
    {
        std::string peer;
        int fd = m_listener.acceptTimeout(kAcceptPollMs, peer);
        if (fd >= 0)
            dispatch(fd);
    }
}

void CMetricsEndpoint::answer(int fd)
{
    platform::CServerConnection connection(fd);
    std::string head;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestDeadlineMs);
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos)
    {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count());
        if (left <= 0 || head.size() >= kMaxRequestHead)
            return;
        char buffer[1024];
        size_t got = 0;
        if (connection.receive(buffer, sizeof buffer, got, left) != platform::CServerConnection::IO_OK)
            return;
        head.append(buffer, got);
    }
    std::string text = respond(head, m_source);
    connection.sendAll(text.data(), text.size(), kRequestDeadlineMs);
    connection.finish(kRequestDeadlineMs);
}

std::string CMetricsEndpoint::respond(const std::string& head, const Source& source)
{
    size_t lineEnd = head.find_first_of("\r\n");
    std::string line = head.substr(0, lineEnd);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos)
        return reply("400 Bad Request", "text/plain", "bad request\n");
    std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp1 - 1);
    target = target.substr(0, target.find('?'));
    if (method != "GET" && method != "HEAD")
        return reply("405 Method Not Allowed", "text/plain", "only GET\n");
    if (target != "/metrics")
        return reply("404 Not Found", "text/plain", "try /metrics\n");
    std::string body = source ? source() : std::string();
    std::string text = reply("200 OK", "text/plain; version=0.0.4; charset=utf-8", body);
    if (method == "HEAD")
        text.resize(text.size() - body.size());
    return text;
}
