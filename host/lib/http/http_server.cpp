#include "http/http_server.h"

#include <httplib.h>

#include <sys/socket.h>

#include <charconv>
#include <chrono>

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

HttpServer::HttpServer(StatusSource source) : source_(std::move(source)), server_(std::make_unique<httplib::Server>()) {
    // SO_REUSEADDR only: with the library's SO_REUSEPORT a second gateway
    // could bind the same port, and a scrape would reach either at random.
    server_->set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(MetricsText(source_, TakeView(source_)), kMetricsContentType);
    });
    server_->Get("/api/status", [this](const httplib::Request&, httplib::Response& response) {
        const auto text = StatusJson(source_, TakeView(source_)).dump(-1, ' ', false,
                                                                      nlohmann::json::error_handler_t::replace);
        response.set_header("Cache-Control", "no-store");
        response.set_content(text, "application/json");
    });
    server_->Get("/", [](const httplib::Request&, httplib::Response& response) {
        const std::string_view page = StatusPageHtml();
        response.set_content(page.data(), page.size(), "text/html; charset=utf-8");
    });
    // Only GET: the other methods are refused whatever the path.
    const auto refuse = [](const httplib::Request&, httplib::Response& response) {
        response.status = 405;
        response.set_header("Allow", "GET");
    };
    server_->Post(".*", refuse);
    server_->Put(".*", refuse);
    server_->Patch(".*", refuse);
    server_->Delete(".*", refuse);
    server_->set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.status == 404) response.set_content("not found\n", "text/plain");
    });
}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Listen(const std::string& address, std::string& error) {
    std::string host;
    int port = 0;
    if (!ParseHttpAddress(address, host, port, error)) return false;
    host_ = host;
    if (port == 0) {
        port_ = server_->bind_to_any_port(host);
        if (port_ < 0) port_ = 0;
    } else if (server_->bind_to_port(host, port)) {
        port_ = port;
    }
    if (port_ == 0) {
        error = "cannot listen for HTTP on " + address + " (address in use, or not this machine's?)";
        return false;
    }
    return true;
}

std::string HttpServer::Url() const {
    const bool v6 = host_.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_) + "/";
}

void HttpServer::Start() {
    done_ = false;
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        done_ = true;
    });
}

void HttpServer::Stop() {
    if (!thread_.joinable()) return;
    // A stop before the thread has begun to listen would be lost.
    for (int i = 0; i < 2000 && !server_->is_running() && !done_; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_->stop();
    thread_.join();
}

}  // namespace qel::http
