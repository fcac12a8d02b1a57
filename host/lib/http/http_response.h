// An HTTP/1.1 response and its bytes on the wire.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qel::http {

struct Response {
    int status = 200;
    std::string contentType;  // empty: no Content-Type field
    std::string body;
    std::vector<std::pair<std::string, std::string>> fields;  // further fields ("Allow", "Cache-Control")
};

// "OK", "Not Found", ...; "Unknown" for a status not listed.
const char* ReasonPhrase(int status);

// The status line, the fields, Content-Length and, when the connection ends
// after it, "Connection: close"; then the body, unless the request was HEAD.
std::string Serialize(const Response& response, bool keepAlive, bool head);

// A plain-text response of that status with its reason phrase as the body.
Response TextResponse(int status);

}  // namespace qel::http
