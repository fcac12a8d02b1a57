#include "http/http_response.h"

#include <cctype>

namespace qel::http {

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 413: return "Content Too Large";
        case 414: return "URI Too Long";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        default: return "Unknown";
    }
}

std::string Serialize(const Response& response, bool keepAlive, bool head) {
    std::string out;
    out.reserve(160 + (head ? 0 : response.body.size()));
    out += "HTTP/1.1 ";
    out += std::to_string(response.status);
    out += ' ';
    out += ReasonPhrase(response.status);
    out += "\r\n";
    if (!response.contentType.empty()) out += "Content-Type: " + response.contentType + "\r\n";
    for (const auto& [name, value] : response.fields) out += name + ": " + value + "\r\n";
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    if (!keepAlive) out += "Connection: close\r\n";
    out += "\r\n";
    if (!head) out += response.body;
    return out;
}

Response TextResponse(int status) {
    Response response;
    response.status = status;
    response.contentType = "text/plain";
    response.body = ReasonPhrase(status);
    for (auto& c : response.body) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    response.body += '\n';
    return response;
}

}  // namespace qel::http
