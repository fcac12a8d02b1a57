// The status line of every status the diagnostics server sends (the
// request parser's refusals, the pages, the gate API's failures: a refused
// write, a station down, no answer, a line error) carries its standard
// reason phrase; a status line that says "Unknown" misleads every client
// that logs it.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "http/http_response.h"

namespace {

struct StatusCase {
    int status;
    const char* line;
};

const StatusCase kStatuses[] = {
    {200, "HTTP/1.1 200 OK\r\n"},
    {204, "HTTP/1.1 204 No Content\r\n"},
    {400, "HTTP/1.1 400 Bad Request\r\n"},
    {401, "HTTP/1.1 401 Unauthorized\r\n"},
    {403, "HTTP/1.1 403 Forbidden\r\n"},
    {404, "HTTP/1.1 404 Not Found\r\n"},
    {405, "HTTP/1.1 405 Method Not Allowed\r\n"},
    {408, "HTTP/1.1 408 Request Timeout\r\n"},
    {413, "HTTP/1.1 413 Content Too Large\r\n"},
    {414, "HTTP/1.1 414 URI Too Long\r\n"},
    {431, "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
    {500, "HTTP/1.1 500 Internal Server Error\r\n"},
    {501, "HTTP/1.1 501 Not Implemented\r\n"},
    {502, "HTTP/1.1 502 Bad Gateway\r\n"},
    {503, "HTTP/1.1 503 Service Unavailable\r\n"},
    {504, "HTTP/1.1 504 Gateway Timeout\r\n"},
    {505, "HTTP/1.1 505 HTTP Version Not Supported\r\n"},
};

TEST(StatusLine, EveryStatusTheServerSendsHasItsReasonPhrase) {
    for (const StatusCase& c : kStatuses) {
        qel::http::Response response;
        response.status = c.status;
        const std::string bytes = qel::http::Serialize(response, true, false);
        EXPECT_EQ(bytes.substr(0, bytes.find("\r\n") + 2), c.line) << c.status;
        EXPECT_STRNE(qel::http::ReasonPhrase(c.status), "Unknown") << c.status;
    }
}

TEST(StatusLine, AStatusNotListedStillMakesAWellFormedLine) {
    qel::http::Response response;
    response.status = 418;
    EXPECT_EQ(qel::http::Serialize(response, false, true),
              "HTTP/1.1 418 Client Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

TEST(StatusLine, ATextResponseSaysItsReasonInLowerCase) {
    for (const StatusCase& c : kStatuses) {
        const qel::http::Response response = qel::http::TextResponse(c.status);
        std::string want = qel::http::ReasonPhrase(c.status);
        for (char& ch : want) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_EQ(response.body, want + "\n") << c.status;
        EXPECT_EQ(response.contentType, "text/plain") << c.status;
        EXPECT_EQ(response.status, c.status);
    }
}

}  // namespace
