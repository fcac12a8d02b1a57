// Gates over HTTP, on the diagnostics server: GET /api/gates/GAS?count=N
// reads, PUT /api/gates/GAS with {"v": VALUE} writes, GET and PUT
// /api/tags/NAME do the same for a tag in its engineering units, and
// /api/openapi.json describes both. The reads and writes go through the
// callbacks the program wires (the line scheduler behind them), run on a few
// threads of this object's own, and answer through the loop's Responder
// when they are done: a station that does not answer holds no other request.
//
// Status codes: 200 done; 400 a bad gate, count, value or body; 401 a write
// without the bearer token; 403 a write not allowed (writes off, or not in
// the write allow-list); 503 a station held down, or every worker busy with
// a full queue; 504 no answer; 502 any other failure of the line. Errors are
// JSON with the same diagnosis as the Python module's exceptions.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/http_loop.h"
#include "session/gates/gate_access.h"
#include "session/gates/tag_table.h"

namespace qel::http {

struct GateSource {
    // Reads count consecutive elements from the gate.
    std::function<session::GateResult(const std::string& gas, int count)> read;
    // Writes one value (the program applies the write allow-list); unset:
    // writes over HTTP are off.
    std::function<session::GateResult(const std::string& gas, long long value)> write;
    // Tags by name (/api/tags/NAME): read, and write in engineering units
    // (unset: as `write`, writes are off). Unset read: no tag paths.
    std::function<session::TagResult(const std::string& name)> readTag;
    std::function<session::TagResult(const std::string& name, double value)> writeTag;
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
    explicit GateApi(GateSource source, std::size_t workers = 4, std::size_t queueLimit = 64);
    ~GateApi();
    GateApi(const GateApi&) = delete;
    GateApi& operator=(const GateApi&) = delete;

    // True for the paths it answers: /api/gates/..., /api/tags/... and /api/openapi.json.
    static bool Serves(const std::string& path);
    // Answers now (a bad request, the description) or later from a worker.
    void Handle(const Request& request, const Responder& respond);
    // Ends the workers; the requests still queued are answered 503.
    void Stop();

private:
    void Work();

    GateSource source_;
    std::size_t queueLimit_;
    std::mutex mutex_;
    std::condition_variable ready_;
    struct Job;
    std::deque<Job> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace qel::http
