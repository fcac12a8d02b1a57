#include <gtest/gtest.h>

#include <string>

#include "http/http_request.h"
#include "http/http_response.h"

namespace {

using qel::http::ParseRequest;
using qel::http::ParseResult;
using qel::http::Request;
using qel::http::RequestLimits;
using Kind = ParseResult::Kind;

TEST(HttpRequest, WholeRequests) {
    const struct {
        std::string text;
        const char* method;
        const char* path;
        const char* query;
        bool keepAlive;
        const char* body;
        std::size_t extra;  // bytes after the request (the next one, pipelined)
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n", "GET", "/metrics", "", true, "", 0},
        {"GET /api/status?x=1&y HTTP/1.1\r\nHost: a\r\n\r\n", "GET", "/api/status", "x=1&y", true, "", 0},
        {"GET / HTTP/1.0\r\n\r\n", "GET", "/", "", false, "", 0},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", "GET", "/", "", true, "", 0},
        {"GET / HTTP/1.1\r\nHost: a\r\nConnection: TE, close\r\n\r\n", "GET", "/", "", false, "", 0},
        {"GET / HTTP/1.1\nHost: a\n\n", "GET", "/", "", true, "", 0},  // LF alone
        {"\r\n\r\nHEAD / HTTP/1.1\r\nHost: a\r\n\r\n", "HEAD", "/", "", true, "", 0},
        {"OPTIONS * HTTP/1.1\r\nHost: a\r\n\r\n", "OPTIONS", "*", "", true, "", 0},
        {"GET http://gw:9502/metrics?q HTTP/1.1\r\nHost: gw\r\n\r\n", "GET", "/metrics", "q", true, "", 0},
        {"GET http://gw:9502 HTTP/1.1\r\nHost: gw\r\n\r\n", "GET", "/", "", true, "", 0},
        {"POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabcGET", "POST", "/x", "", true, "abc", 3},
        {"POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\nab", "POST", "/x", "", true,
         "ab", 0},
        {"GET / HTTP/1.1\r\nHost:a\r\nX-Empty:\r\nX:  \t v \t\r\n\r\nGET / HTTP/1.1\r\n", "GET", "/", "", true, "", 16},
        {"GET / HTTP/1.9\r\nHost: a\r\n\r\n", "GET", "/", "", true, "", 0},
    };
    for (const auto& c : cases) {
        Request request;
        const auto result = ParseRequest(c.text, {}, request);
        ASSERT_EQ(result.kind, Kind::Whole) << c.text << ": " << result.why;
        EXPECT_EQ(result.used, c.text.size() - c.extra) << c.text;
        EXPECT_EQ(request.method, c.method) << c.text;
        EXPECT_EQ(request.path, c.path) << c.text;
        EXPECT_EQ(request.query, c.query) << c.text;
        EXPECT_EQ(request.keepAlive, c.keepAlive) << c.text;
        EXPECT_EQ(request.body, c.body) << c.text;
        // Every shorter piece of it is only a beginning.
        for (std::size_t n = 0; n < result.used; ++n)
            EXPECT_EQ(ParseRequest(std::string_view(c.text).substr(0, n), {}, request).kind, Kind::NeedMore)
                << c.text << " cut at " << n;
    }
    Request request;
    ParseRequest("GET / HTTP/1.1\r\nHost: a\r\nX:  \t v \t\r\n\r\n", {}, request);
    ASSERT_NE(request.Field("x"), nullptr);
    EXPECT_EQ(*request.Field("x"), "v");
    EXPECT_EQ(request.Field("y"), nullptr);
}

TEST(HttpRequest, BadRequests) {
    RequestLimits limits;
    limits.maxLine = 64;
    limits.maxHead = 128;
    limits.maxFields = 3;
    limits.maxBody = 10;
    const std::string host = "Host: a\r\n";
    const struct {
        std::string text;
        int status;
    } cases[] = {
        {"GET /\r\n\r\n", 400},                                  // no version
        {"GET  / HTTP/1.1\r\n\r\n", 400},                        // two spaces
        {"GET / HTTP/1.1 \r\n\r\n", 400},                        // trailing space
        {"G(T / HTTP/1.1\r\n\r\n", 400},                         // not a token
        {"GET /a\x01 HTTP/1.1\r\n\r\n", 400},                    // control in the target
        {"GET /\xc3\xa9 HTTP/1.1\r\n\r\n", 400},                 // raw UTF-8 in the target
        {"GET metrics HTTP/1.1\r\n" + host + "\r\n", 400},       // not a path
        {"GET ftp://x/ HTTP/1.1\r\n" + host + "\r\n", 400},      // not http
        {"GET * HTTP/1.1\r\n" + host + "\r\n", 400},             // * only for OPTIONS
        {"GET / HTTP/1.x\r\n\r\n", 400},
        {"GET / HTTP/2.0\r\n" + host + "\r\n", 505},
        {"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 505},
        {"GET / HTTP/1.1\r\n\r\n", 400},                         // no Host
        {"GET / HTTP/1.1\r\n" + host + host + "\r\n", 400},      // two Hosts
        {"GET / HTTP/1.1\r\n" + host + "X : y\r\n\r\n", 400},    // space before the colon
        {"GET / HTTP/1.1\r\n" + host + "X y\r\n\r\n", 400},      // no colon
        {"GET / HTTP/1.1\r\n" + host + "X: y\r\n z\r\n\r\n", 400},  // folded
        {"GET / HTTP/1.1\r\n" + host + "X: a\x7f\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\n" + host + "Content-Length: -1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\n" + host + "Content-Length: 1, 1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\n" + host + "Content-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\n" + host + "Content-Length: 11\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\n" + host + "Content-Length: 99999999999999999999999\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n", 501},
        {"GET /" + std::string(70, 'a') + " HTTP/1.1\r\n", 414},
        {"GET /" + std::string(70, 'a'), 414},  // already too long before its end
        {"GET / HTTP/1.1\r\n" + host + "X: " + std::string(120, 'a'), 431},
        {"GET / HTTP/1.1\r\n" + host + "A: 1\r\nB: 2\r\nC: 3\r\n\r\n", 431},
        {std::string(200, '\n'), 431},
    };
    for (const auto& c : cases) {
        Request request;
        const auto result = ParseRequest(c.text, limits, request);
        EXPECT_EQ(result.kind, Kind::Bad) << c.text;
        EXPECT_EQ(result.status, c.status) << c.text << ": " << result.why;
    }
}

// The request line's bound counts the line without its end: exactly the
// bound is taken, a byte more is 414, however the line ends or is cut.
TEST(HttpRequest, RequestLineAtItsBound) {
    RequestLimits limits;
    limits.maxLine = 64;
    const std::string suffix = " HTTP/1.1";
    const auto line = [&](std::size_t size) { return "GET /" + std::string(size - 5 - suffix.size(), 'a') + suffix; };
    const struct {
        std::string text;
        Kind kind;
    } cases[] = {
        {line(64) + "\r\nHost: a\r\n\r\n", Kind::Whole},
        {line(64) + "\nHost: a\n\n", Kind::Whole},
        {line(64) + "\r", Kind::NeedMore},
        {line(64), Kind::NeedMore},
        {line(65) + "\r\nHost: a\r\n\r\n", Kind::Bad},
        {line(65) + "\nHost: a\n\n", Kind::Bad},
        {line(65), Kind::Bad},
    };
    for (const auto& c : cases) {
        Request request;
        const auto result = ParseRequest(c.text, limits, request);
        EXPECT_EQ(result.kind, c.kind) << c.text << ": " << result.why;
        if (c.kind == Kind::Bad) {
            EXPECT_EQ(result.status, 414) << c.text;
        }
    }
}

TEST(HttpResponse, BytesOnTheWire) {
    qel::http::Response response;
    response.contentType = "text/plain";
    response.body = "hi";
    response.fields.emplace_back("Allow", "GET, HEAD");
    EXPECT_EQ(qel::http::Serialize(response, true, false),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAllow: GET, HEAD\r\nContent-Length: 2\r\n\r\nhi");
    EXPECT_EQ(qel::http::Serialize(response, false, true),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAllow: GET, HEAD\r\nContent-Length: 2\r\n"
              "Connection: close\r\n\r\n");
    EXPECT_EQ(qel::http::TextResponse(431).body, "request header fields too large\n");
}

}  // namespace
