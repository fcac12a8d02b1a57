#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/http_loop.h"
#include "http/http_response.h"
#include "http/http_server.h"
#include "support/loopback_client.h"

namespace {

using namespace std::chrono_literals;
using qel::http::ConnectionLimits;
using qel::http::HttpLoop;
using qel::http::Request;
using qel::http::Responder;
using qel::http::Response;

int Connect(int port) {
    const int fd = testsupport::ConnectLoopback(port);
    EXPECT_GE(fd, 0);
    return fd;
}

void Send(int fd, const std::string& text) { ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size())); }

// What the server sends until it closes or `seconds` pass.
std::string ReadAll(int fd, double seconds) { return testsupport::ReadUntilClosed(fd, seconds); }

struct Served {
    HttpLoop loop;
    explicit Served(qel::http::Handler handler, ConnectionLimits limits) : loop(std::move(handler), limits) {
        std::string error;
        EXPECT_TRUE(loop.Listen("127.0.0.1", 0, error)) << error;
        loop.Start();
    }
};

void Echo(const Request& request, Responder respond) {
    Response response;
    response.contentType = "text/plain";
    response.body = request.path;
    respond(response);
}

const std::string kGet = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
const std::string kAnswer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\n/a";

TEST(HttpLoop, PipelinedRequestsAnsweredInOrderThenClose) {
    Served served(Echo, {});
    const int fd = Connect(served.loop.Port());
    Send(fd, kGet + "GET /bc HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(ReadAll(fd, 5), kAnswer + "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n"
                                        "Connection: close\r\n\r\n/bc");
    ::close(fd);
}

TEST(HttpLoop, WholeRequestDeadlineNotPerRead) {
    ConnectionLimits limits;
    limits.requestDeadline = 600ms;
    Served served(Echo, limits);
    const int fd = Connect(served.loop.Port());
    const auto start = std::chrono::steady_clock::now();
    Send(fd, "GET / HTTP/1.1\r\n");
    // A byte every 100 ms: no read ever waits long, the request does.
    std::string got;
    for (int i = 0; i < 30 && got.empty(); ++i) {
        ::send(fd, "X", 1, MSG_NOSIGNAL);
        got = ReadAll(fd, 0.1);
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(got.rfind("HTTP/1.1 408 Request Timeout\r\n", 0), 0u) << got;
    EXPECT_GT(took, 0.5);
    EXPECT_LT(took, 2.0);
    ::close(fd);
}

TEST(HttpLoop, FullClosesTheOldestIdleAndRefusesOnlyWhenAllAreBusy) {
    ConnectionLimits limits;
    limits.maxConnections = 3;
    std::vector<Responder> held;
    std::mutex mutex;
    // "/hold" is answered later, from another thread; anything else at once.
    Served served(
        [&](const Request& request, Responder respond) {
            if (request.path == "/hold") {
                std::lock_guard lock(mutex);
                held.push_back(respond);
            } else {
                Echo(request, respond);
            }
        },
        limits);
    const int port = served.loop.Port();
    const int oldest = Connect(port);
    std::this_thread::sleep_for(50ms);
    const int busy = Connect(port);
    Send(busy, "GET /hold HTTP/1.1\r\nHost: x\r\n\r\n");
    const int younger = Connect(port);
    std::this_thread::sleep_for(100ms);
    const int fresh = Connect(port);  // the limit: `oldest` goes, not `busy`
    Send(fresh, kGet);
    EXPECT_EQ(ReadAll(fresh, 0.5), kAnswer);
    EXPECT_EQ(ReadAll(oldest, 2), "");  // closed without a word
    EXPECT_EQ(served.loop.Counts().evicted, 1u);
    Send(younger, kGet);
    EXPECT_EQ(ReadAll(younger, 0.5), kAnswer);

    // Now all three wait on an answer: a fourth is refused.
    Send(younger, "GET /hold HTTP/1.1\r\nHost: x\r\n\r\n");
    Send(fresh, "GET /hold HTTP/1.1\r\nHost: x\r\n\r\n");
    std::this_thread::sleep_for(100ms);
    const int refused = Connect(port);
    EXPECT_EQ(ReadAll(refused, 2).rfind("HTTP/1.1 503 ", 0), 0u);
    EXPECT_EQ(served.loop.Counts().refused, 1u);

    std::thread later([&] {
        std::lock_guard lock(mutex);
        for (auto& respond : held) {
            Response response;
            response.body = "late";
            respond(response);
            respond(response);  // only the first counts
        }
    });
    later.join();
    for (const int fd : {busy, younger, fresh})
        EXPECT_EQ(ReadAll(fd, 0.5), "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nlate");
    for (const int fd : {oldest, busy, younger, fresh, refused}) ::close(fd);
}

}  // namespace

namespace {

// Every status the server and the gate API send has its own reason phrase
// on the status line: a client or a proxy's log shows it.
TEST(HttpResponse, StatusLinesHaveTheirReasonPhrases) {
    const struct {
        int status;
        const char* line;
    } cases[] = {
        {200, "HTTP/1.1 200 OK\r\n"},          {204, "HTTP/1.1 204 No Content\r\n"},
        {400, "HTTP/1.1 400 Bad Request\r\n"}, {401, "HTTP/1.1 401 Unauthorized\r\n"},
        {403, "HTTP/1.1 403 Forbidden\r\n"},   {404, "HTTP/1.1 404 Not Found\r\n"},
        {405, "HTTP/1.1 405 Method Not Allowed\r\n"}, {408, "HTTP/1.1 408 Request Timeout\r\n"},
        {413, "HTTP/1.1 413 Content Too Large\r\n"},  {414, "HTTP/1.1 414 URI Too Long\r\n"},
        {431, "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
        {500, "HTTP/1.1 500 Internal Server Error\r\n"}, {502, "HTTP/1.1 502 Bad Gateway\r\n"},
        {503, "HTTP/1.1 503 Service Unavailable\r\n"},   {504, "HTTP/1.1 504 Gateway Timeout\r\n"},
        {599, "HTTP/1.1 599 Server Error\r\n"},           {499, "HTTP/1.1 499 Client Error\r\n"},
    };
    for (const auto& c : cases) {
        const std::string text = qel::http::Serialize(qel::http::TextResponse(c.status), true, false);
        EXPECT_EQ(text.rfind(c.line, 0), 0u) << text;
    }
}

// A path nearly right gets a 404 that lists the paths served.
TEST(HttpServer, UnknownPathListsThePathsServed) {
    qel::http::HttpServer server(qel::http::StatusSource{}, ConnectionLimits{});
    std::string error;
    ASSERT_TRUE(server.Listen("127.0.0.1:0", error)) << error;
    server.Start();
    const int port = std::stoi(server.Url().substr(server.Url().rfind(':') + 1));
    const int fd = Connect(port);
    Send(fd, "GET /gates/001DR0010 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    const std::string got = ReadAll(fd, 5);
    ::close(fd);
    server.Stop();
    EXPECT_EQ(got.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << got;
    EXPECT_NE(got.find("not found: /gates/001DR0010"), std::string::npos) << got;
    EXPECT_NE(got.find("/metrics, /api/status"), std::string::npos) << got;
}

}  // namespace
