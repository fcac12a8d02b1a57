// One HTTP/1.x request out of the bytes a connection has sent so far: the
// request line, the header fields and a body of Content-Length bytes, each
// bounded. Pure: no socket, no clock; the server calls it again as more
// bytes arrive until it says the request is whole or bad.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qel::http {

struct RequestLimits {
    std::size_t maxLine = 4096;   // the request line without its CR LF (414 above)
    std::size_t maxHead = 8192;   // request line and header fields (431 above)
    std::size_t maxFields = 64;   // header fields (431 above)
    std::size_t maxBody = 8192;   // Content-Length (413 above)
};

struct Request {
    std::string method;  // as sent, case kept ("GET")
    std::string target;  // as sent ("/metrics?x=1", "*")
    std::string path;    // the target's path, without the query ("/metrics")
    std::string query;   // after '?', without it
    int minor = 1;       // HTTP/1.minor
    std::vector<std::pair<std::string, std::string>> fields;  // names as sent, values trimmed
    std::string body;
    bool keepAlive = true;  // whether the connection may carry another request after this one

    // The first field of that name (names compare without case), or nullptr.
    const std::string* Field(std::string_view name) const;
};

struct ParseResult {
    enum class Kind { NeedMore, Whole, Bad };
    Kind kind = Kind::NeedMore;
    std::size_t used = 0;  // Whole: the request's bytes, body included
    int status = 0;        // Bad: the status to answer with (400, 413, 414, 431, 501, 505)
    const char* why = "";  // Bad: in words
};

// Reads one request from the start of `bytes`. NeedMore: nothing can be said
// until more bytes come (and what came is within the limits). Whole: `request`
// is filled and `used` bytes belong to it. Bad: the connection cannot go on.
ParseResult ParseRequest(std::string_view bytes, const RequestLimits& limits, Request& request);

}  // namespace qel::http
