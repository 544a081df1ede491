// A minimal HTTP/1.0 endpoint that answers "GET /metrics" with the text the
// source returns, for a Prometheus scraper. One request per connection, one
// connection at a time, each bounded by a short deadline, on its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/ServerSocket.h"

class CMetricsEndpoint
{
public:
    using Source = std::function<std::string()>;

    CMetricsEndpoint() = default;
    ~CMetricsEndpoint() { stop(); }
    CMetricsEndpoint(const CMetricsEndpoint&) = delete;
    CMetricsEndpoint& operator=(const CMetricsEndpoint&) = delete;

    // address is "HOST:PORT" or "PORT" (then 127.0.0.1). Throws
    // std::invalid_argument for a malformed address and std::system_error
    // when it cannot listen.
    void start(const std::string& address, Source source);
    uint16_t port() const { return m_listener.port(); }
    // Stops accepting and waits for the thread; idempotent.
    void stop();

    // The answer to one request head (the bytes up to the blank line).
    static std::string respond(const std::string& head, const Source& source);

private:
    void loop();
    void answer(int fd);

    platform::CServerSocket m_listener;
    Source m_source;
    std::thread m_worker;
    std::atomic<bool> m_stopping{false};
};
