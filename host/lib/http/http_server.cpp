#include "http/http_server.h"

#include <arpa/inet.h>

#include <charconv>

#include "http/metrics_text.h"
#include "http/status_json.h"
#include "http/status_page.h"

namespace qel::http {

bool ParseHttpAddress(const std::string& text, std::string& host, int& port, std::string& error) {
    std::string portText = text;
    host = "127.0.0.1";
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        if (host.empty()) {
            error = "--http " + text + ": the address is missing before the port";
            return false;
        }
    }
    const char* end = portText.data() + portText.size();
    const auto [stop, failure] = std::from_chars(portText.data(), end, port);
    if (portText.empty() || failure != std::errc() || stop != end || port < 0 || port > 65535) {
        error = "--http " + text + ": the port must be a number from 0 to 65535 (ADDR:PORT or PORT)";
        return false;
    }
    return true;
}

HttpServer::HttpServer(StatusSource source, ConnectionLimits limits)
    : source_(std::move(source)),
      loop_(std::make_unique<HttpLoop>([this](const Request& request, Responder respond) { Handle(request, respond); },
                                       limits)) {}

HttpServer::~HttpServer() { Stop(); }

// Every answer is made here, on the loop's thread, from a snapshot taken now.
void HttpServer::Handle(const Request& request, const Responder& respond) const {
    if (gates_ && GateApi::Serves(request.path)) {
        gates_->Handle(request, respond);  // begun on the line: the answer comes when it is done
        return;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        auto refused = TextResponse(405);
        refused.fields.emplace_back("Allow", "GET, HEAD");
        respond(std::move(refused));
        return;
    }
    Response response;
    if (request.path == "/metrics") {
        response.contentType = kMetricsContentType;
        response.body = MetricsText(source_, TakeView(source_));
    } else if (request.path == "/api/status") {
        response.contentType = "application/json";
        response.fields.emplace_back("Cache-Control", "no-store");
        response.body = StatusJson(source_, TakeView(source_))
                            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } else if (request.path == "/") {
        response.contentType = "text/html; charset=utf-8";
        response.body = StatusPageHtml();
    } else {
        // A path nearly right (/gates/..., /status) finds the ones served.
        response = TextResponse(404);
        response.body = "not found: " + request.path + "\nserved here: / (the status page), /metrics, /api/status" +
                        (gates_ ? ", /api/openapi.json, /api/gates/GATE (e.g. /api/gates/001DR0010)" : "") + "\n";
    }
    respond(std::move(response));
}

bool HttpServer::Listen(const std::string& address, std::string& error) {
    std::string host;
    int port = 0;
    if (!ParseHttpAddress(address, host, port, error)) return false;
    host_ = host;
    if (!loop_->Listen(host, port, error)) {
        error += " (address in use, or not this machine's?)";
        return false;
    }
    port_ = loop_->Port();
    return true;
}

std::string HttpServer::Url() const {
    const bool v6 = host_.find(':') != std::string::npos;
    return std::string(tls_ ? "https://" : "http://") + (v6 ? "[" + host_ + "]" : host_) + ":" +
           std::to_string(port_) + "/";
}

bool HttpServer::UseTls(const TlsFiles& files, std::string& error) {
    auto tls = std::make_shared<TlsContext>();
    if (!tls->Load(files, error)) return false;
    tls_ = tls;
    loop_->UseTls(std::move(tls));
    return true;
}

bool HttpServer::ReloadTls(std::string& error) {
    if (!tls_) return true;
    return tls_->Reload(error);
}

std::string HttpServer::DescribeTls() const { return tls_ ? tls_->Describe() : "no TLS"; }

bool IsLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr v4{};
    return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

void HttpServer::ServeGates(GateSource gates) {
    gates_ = std::make_unique<GateApi>(std::move(gates));
    if (gates_->WakeFd() >= 0) loop_->WatchFd(gates_->WakeFd(), [gates = gates_.get()] { gates->Collect(); });
}

void HttpServer::Start() { loop_->Start(); }

void HttpServer::Stop() {
    loop_->Stop();
    if (gates_) gates_->Stop();
}

}  // namespace qel::http
