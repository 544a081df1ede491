// A minimal HTTP/1.0 endpoint that answers "GET /metrics" with the text the
// source returns, for a Prometheus scraper. One request per connection, each
// bounded by a short deadline and answered on a thread of its own, so an idle
// connection does not hold up the scrape; beyond kMaxConnections at once a
// connection is answered "503" at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
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

    static constexpr unsigned kMaxConnections = 32;

private:
    void loop();
    void answer(int fd);
    // Answers on a thread of its own, within the bound; in MetricsEndpointThreads.cpp.
    void dispatch(int fd);
    void waitForAnswers();

    platform::CServerSocket m_listener;
    Source m_source;
    std::thread m_worker;
    std::atomic<bool> m_stopping{false};
    std::mutex m_answerLock;
    std::condition_variable m_answersChanged;
    unsigned m_answering = 0;
};
