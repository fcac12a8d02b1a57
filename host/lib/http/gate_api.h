// Gates over HTTP, on the diagnostics server: GET /api/gates/GAS?count=N
// reads, PUT /api/gates/GAS with {"v": VALUE} writes, GET and PUT
// /api/tags/NAME do the same for a tag in its engineering units, and
// /api/openapi.json describes them. The reads and writes are begun on the
// loop's thread through the callbacks the program wires (the line scheduler
// behind them) and never waited for: the loop waits on the scheduler's wake
// descriptor (GateSource::wakeFd) as on its sockets, and answers each one
// when it is finished, so a station that does not answer holds no other
// request and no thread.
//
// Status codes: 200 done; 400 a bad gate, count, value or body; 401 a write
// without the bearer token; 403 a write not allowed (writes off, or not in
// the write allow-list); 503 a station held down, or too many requests
// waiting for the line; 504 no answer; 502 any other failure of the line.
// Errors are JSON with the same diagnosis as the Python module's exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/http_loop.h"
#include "session/gates/gate_access.h"
#include "session/gates/tag_table.h"

namespace qel::http {

struct GateSource {
    // Begins a read of count consecutive elements from the gate under the
    // API's tag: the result at once when it needs no line (a bad gate), else
    // none, and the result comes from `collect` with the tag.
    std::function<std::optional<session::GateResult>(std::uint64_t tag, const std::string& gas, int count)> read;
    // Begins a write of one value, the same way (the program applies the
    // write allow-list); unset: writes over HTTP are off.
    std::function<std::optional<session::GateResult>(std::uint64_t tag, const std::string& gas, long long value)>
        write;
    // Tags by name (/api/tags/NAME), begun the same way: the tag's result at
    // once, or none and the words come from `collect` under the API's tag,
    // made the tag's result by finishTag. Unset readTag: no tag paths; unset
    // writeTag: tag writes are off, as with `write`.
    std::function<std::optional<session::TagResult>(std::uint64_t tag, const std::string& name)> readTag;
    std::function<std::optional<session::TagResult>(std::uint64_t tag, const std::string& name, double value)>
        writeTag;
    std::function<session::TagResult(const std::string& name, const session::GateResult& words)> finishTag;
    // Readable while finished reads and writes wait in `collect`.
    int wakeFd = -1;
    std::function<std::vector<std::pair<std::uint64_t, session::GateResult>>()> collect;
    // The bearer token a write must carry; writes are refused while it is empty.
    std::string token;
    // The diagnosis in words.
    std::function<std::string(const session::GateResult&)> words;
};

// The status code of a failure.
int StatusOf(session::GateFailure failure);
// The answer to a finished read or write: the values, or the error.
Response GateResponse(const session::GateResult& result, const std::string& words);
// The answer for a tag: {"tag", "gate", "type", "v", "raw", "u"} (404 for
// a name no tag has), or the error as for a gate with "tag" beside it.
Response TagResponse(const session::TagResult& result, const std::string& words);
// The OpenAPI description of the gate API and the diagnostics.
const std::string& OpenApiJson();
// Whether the Authorization field carries this bearer token (compared in
// constant time).
bool BearerMatches(const std::string* authorization, const std::string& token);

class GateApi {
public:
    explicit GateApi(GateSource source, std::size_t queueLimit = 64);
    ~GateApi();
    GateApi(const GateApi&) = delete;
    GateApi& operator=(const GateApi&) = delete;

    // True for the paths it answers: /api/gates/..., /api/tags/... and /api/openapi.json.
    static bool Serves(const std::string& path);
    // On the loop's thread: answers now (a bad request, the description, a
    // bad gate) or once the line has done it (Collect).
    void Handle(const Request& request, const Responder& respond);
    // The descriptor the loop waits on; Collect when it is readable (on the
    // loop's thread) answers the reads and writes finished.
    int WakeFd() const { return source_.wakeFd; }
    void Collect();
    // The requests still waiting for the line are answered 503 (after the
    // loop stopped).
    void Stop();

private:
    struct Waiting {
        std::string gas;  // or the tag's name
        Responder respond;
        bool tag = false;
    };
    void Answer(const session::GateResult& result, const Responder& respond) const;
    void AnswerTag(const session::TagResult& result, const Responder& respond) const;
    void HandleTag(const Request& request, const Responder& respond);
    // Room in the queue, or the 503 answered.
    bool Room(const std::string& name, const Responder& respond) const;

    GateSource source_;
    std::size_t queueLimit_;
    std::uint64_t nextTag_ = 1;
    std::map<std::uint64_t, Waiting> waiting_;
};

}  // namespace qel::http
