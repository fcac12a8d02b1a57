// The diagnostics over HTTP, on a thread of their own (an HttpLoop): GET
// /metrics (Prometheus), GET /api/status (JSON), GET / (the status page), and
// HEAD of each; with ServeGates the gate API as well (gate_api.h), the only
// part that reaches a station. Any other path is 404 and any other method
// 405 (with Allow).
#pragma once

#include <memory>
#include <string>

#include "http/gate_api.h"
#include "http/http_loop.h"
#include "http/status_source.h"
#include "http/tls_context.h"

namespace qel::http {

// "ADDR:PORT", "[v6addr]:PORT" or a bare "PORT" (on 127.0.0.1); false with
// a reason.
bool ParseHttpAddress(const std::string& text, std::string& host, int& port, std::string& error);
// Whether a host of ParseHttpAddress is this machine's loopback only
// (127.0.0.0/8, ::1, localhost): anything else may be reached from the network.
bool IsLoopbackHost(const std::string& host);

class HttpServer {
public:
    explicit HttpServer(StatusSource source, ConnectionLimits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the listener; false with a reason.
    bool Listen(const std::string& address, std::string& error);
    // The port bound (useful after asking for port 0).
    int Port() const { return port_; }
    // "http://HOST:PORT/", or https.
    std::string Url() const;
    // TLS only, with these files (before Start); false with a reason.
    bool UseTls(const TlsFiles& files, std::string& error);
    // The TLS files read again (a SIGHUP): new connections take them; false
    // with a reason, the ones in use kept. Nothing to do without TLS.
    bool ReloadTls(std::string& error);
    // The certificate's subject and expiry, whether clients must show theirs.
    std::string DescribeTls() const;
    // Serves the gate API too (before Start).
    void ServeGates(GateSource gates);
    // Serves on a thread of its own until Stop.
    void Start();
    void Stop();

    const LoopCounts& Counts() const { return loop_->Counts(); }

private:
    void Handle(const Request& request, const Responder& respond) const;

    StatusSource source_;
    std::unique_ptr<GateApi> gates_;
    std::unique_ptr<HttpLoop> loop_;
    std::shared_ptr<TlsContext> tls_;
    std::string host_;
    int port_ = 0;
};

}  // namespace qel::http
