// The diagnostics over HTTP, on a thread of their own: GET /metrics
// (Prometheus), GET /api/status (JSON), GET / (the status page). Any other
// path is 404 and any other method 405: nothing here reaches a station.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "http/status_source.h"

namespace httplib {
class Server;
}

namespace qel::http {

// "ADDR:PORT", "[v6addr]:PORT" or a bare "PORT" (on 127.0.0.1); false with
// a reason.
bool ParseHttpAddress(const std::string& text, std::string& host, int& port, std::string& error);

class HttpServer {
public:
    explicit HttpServer(StatusSource source);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the listener; false with a reason.
    bool Listen(const std::string& address, std::string& error);
    // The port bound (useful after asking for port 0).
    int Port() const { return port_; }
    // "http://HOST:PORT/".
    std::string Url() const;
    // Serves on a thread of its own until Stop.
    void Start();
    void Stop();

private:
    StatusSource source_;
    std::unique_ptr<httplib::Server> server_;
    std::string host_;
    int port_ = 0;
    std::atomic<bool> done_ = false;
    std::thread thread_;
};

}  // namespace qel::http
