#include "http/http_request.h"

#include <algorithm>
#include <cctype>

namespace qel::http {

namespace {

bool Same(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A token's characters (method, field name).
bool TokenChar(unsigned char c) {
    return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool Token(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return TokenChar(c); });
}

// Visible ASCII only: no space, no control, nothing above 0x7E.
bool Visible(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// A field value: anything but controls other than HT (bytes above 0x7F are let through).
bool FieldValue(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u == '\t' || (u >= 0x20 && u != 0x7f);
    });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

ParseResult Bad(int status, const char* why) { return {ParseResult::Kind::Bad, 0, status, why}; }

// Whether any comma-separated token of a Connection field is `word`.
bool HasToken(std::string_view list, std::string_view word) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        if (Same(Trim(list.substr(0, comma)), word)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

ParseResult RequestLine(std::string_view line, Request& request) {
    const auto first = line.find(' ');
    const auto second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos)
        return Bad(400, "the request line is not METHOD TARGET VERSION");
    const auto method = line.substr(0, first);
    const auto target = line.substr(first + 1, second - first - 1);
    const auto version = line.substr(second + 1);
    if (!Token(method)) return Bad(400, "the method is not a token");
    if (!Visible(target)) return Bad(400, "the target is empty or holds spaces, controls or non-ASCII bytes");
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !std::isdigit(static_cast<unsigned char>(version[5])) ||
        version[6] != '.' || !std::isdigit(static_cast<unsigned char>(version[7])))
        return Bad(400, "the version is not HTTP/n.n");
    if (version[5] != '1') return Bad(505, "only HTTP/1.x is served");
    request.method.assign(method);
    request.target.assign(target);
    request.minor = version[7] - '0';

    std::string_view path = target;
    if (target == "*") {
        if (method != "OPTIONS") return Bad(400, "the target * is for OPTIONS only");
    } else if (target.front() != '/') {
        // Absolute form, "http://host:port/path?query": the path is what follows the authority.
        const auto scheme = target.find("://");
        if (scheme == std::string_view::npos || !(Same(target.substr(0, scheme), "http") || Same(target.substr(0, scheme), "https")))
            return Bad(400, "the target is neither a path nor an http URL");
        const auto authorityEnd = target.find_first_of("/?", scheme + 3);
        if (authorityEnd == std::string_view::npos) {
            path = "/";
        } else if (target[authorityEnd] == '?') {
            request.path = "/";
            request.query.assign(target.substr(authorityEnd + 1));
            return {ParseResult::Kind::Whole, 0, 0, ""};
        } else {
            path = target.substr(authorityEnd);
        }
    }
    const auto question = path.find('?');
    request.path.assign(path.substr(0, question));
    request.query = question == std::string_view::npos ? "" : std::string(path.substr(question + 1));
    return {ParseResult::Kind::Whole, 0, 0, ""};
}

}  // namespace

const std::string* Request::Field(std::string_view name) const {
    for (const auto& [n, v] : fields)
        if (Same(n, name)) return &v;
    return nullptr;
}

ParseResult ParseRequest(std::string_view bytes, const RequestLimits& limits, Request& request) {
    // Empty lines before the request line are passed over.
    std::size_t start = 0;
    while (start < bytes.size() && (bytes[start] == '\n' || (bytes[start] == '\r' && start + 1 < bytes.size() &&
                                                             bytes[start + 1] == '\n')))
        start += bytes[start] == '\r' ? 2 : 1;
    if (start > limits.maxHead) return Bad(431, "too many empty lines before the request");

    // The head ends at the first empty line; every line may end in CR LF or LF alone.
    std::vector<std::string_view> lines;
    std::size_t at = start;
    std::size_t headEnd = 0;
    for (;;) {
        const auto newline = bytes.find('\n', at);
        const std::size_t lineEnd = newline == std::string_view::npos ? bytes.size() : newline;
        // The request line is counted without its line end: a CR before the
        // LF, or a CR last in what came so far, whose LF is still on its way.
        const std::size_t lineSize = lineEnd - start - (lineEnd > start && bytes[lineEnd - 1] == '\r' ? 1 : 0);
        if (lines.empty() && lineSize > limits.maxLine) return Bad(414, "the request line is too long");
        if ((newline == std::string_view::npos ? bytes.size() : newline + 1) - start > limits.maxHead)
            return Bad(431, "the header fields are too large");
        if (newline == std::string_view::npos) return {};
        std::string_view line = bytes.substr(at, newline - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        at = newline + 1;
        if (line.empty() && !lines.empty()) {
            headEnd = at;
            break;
        }
        if (lines.size() > limits.maxFields) return Bad(431, "too many header fields");
        lines.push_back(line);
    }

    request = Request{};
    if (const auto r = RequestLine(lines.front(), request); r.kind == ParseResult::Kind::Bad) return r;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto line = lines[i];
        if (line.front() == ' ' || line.front() == '\t') return Bad(400, "a folded header field");
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) return Bad(400, "a header line without a colon");
        const auto name = line.substr(0, colon);
        if (!Token(name)) return Bad(400, "a header field name that is not a token");
        const auto value = Trim(line.substr(colon + 1));
        if (!FieldValue(value)) return Bad(400, "a control character in a header field");
        request.fields.emplace_back(name, value);
    }
    const std::string* length = request.Field("Content-Length");
    for (const auto& [name, value] : request.fields)
        if (Same(name, "Content-Length") && value != *length) return Bad(400, "two different Content-Length fields");

    if (request.Field("Transfer-Encoding")) return Bad(501, "a Transfer-Encoding is not served");
    std::size_t hosts = 0;
    for (const auto& field : request.fields) hosts += Same(field.first, "Host");
    if (hosts > 1 || (request.minor >= 1 && hosts == 0)) return Bad(400, "an HTTP/1.1 request needs one Host field");

    std::size_t bodySize = 0;
    if (length) {
        if (length->empty() || !std::all_of(length->begin(), length->end(), [](char c) { return c >= '0' && c <= '9'; }))
            return Bad(400, "the Content-Length is not a number");
        for (const char c : *length) {
            bodySize = bodySize * 10 + static_cast<std::size_t>(c - '0');
            if (bodySize > limits.maxBody) return Bad(413, "the body is too large");
        }
    }
    const auto* connection = request.Field("Connection");
    request.keepAlive = request.minor >= 1 ? !(connection && HasToken(*connection, "close"))
                                           : connection && HasToken(*connection, "keep-alive");

    if (bytes.size() - headEnd < bodySize) return {};
    request.body.assign(bytes.substr(headEnd, bodySize));
    return {ParseResult::Kind::Whole, headEnd + bodySize, 0, ""};
}

}  // namespace qel::http
