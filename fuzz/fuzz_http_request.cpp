// The diagnostics server's request parser: any bytes, with small limits so
// that every limit is reached. A request found whole is found whole at
// exactly its length and at no shorter cut (what came before its end is only
// "need more", never a refusal); a refusal carries a status of the parser's
// own; the bytes used never exceed the input nor the limits; the answer to it
// is well formed.
//
// Input: one byte that chooses the limits, then the bytes a client sent.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/http_request.h"
#include "http/http_response.h"

namespace {

using qel::http::ParseRequest;
using qel::http::ParseResult;
using Kind = ParseResult::Kind;

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    qel::http::RequestLimits limits;
    if (data[0] & 1) limits = {40, 120, 4, 16};
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    qel::http::Request request;
    const auto result = ParseRequest(bytes, limits, request);
    switch (result.kind) {
        case Kind::NeedMore:
            Require(bytes.size() <= 2 * limits.maxHead + limits.maxBody);
            break;
        case Kind::Bad: {
            const int s = result.status;
            Require(s == 400 || s == 413 || s == 414 || s == 431 || s == 501 || s == 505);
            Require(*result.why != '\0');
            break;
        }
        case Kind::Whole: {
            Require(result.used > 0 && result.used <= bytes.size());
            Require(request.body.size() <= limits.maxBody && request.fields.size() <= limits.maxFields);
            Require(!request.method.empty() && !request.target.empty() && !request.path.empty());
            Require(request.path == "*" || request.path.front() == '/');
            qel::http::Request again;
            const auto exact = ParseRequest(bytes.substr(0, result.used), limits, again);
            Require(exact.kind == Kind::Whole && exact.used == result.used && again.body == request.body &&
                    again.path == request.path && again.keepAlive == request.keepAlive);
            // A few cuts short of its end, chosen by the input.
            for (std::size_t cut = data[0] >> 1; cut < result.used; cut += 1 + result.used / 7) {
                const auto part = ParseRequest(bytes.substr(0, cut), limits, again);
                Require(part.kind == Kind::NeedMore);
            }
            const std::string out = qel::http::Serialize(qel::http::TextResponse(404), request.keepAlive,
                                                         request.method == "HEAD");
            Require(out.rfind("HTTP/1.1 404 Not Found\r\n", 0) == 0);
            break;
        }
    }
    return 0;
}
