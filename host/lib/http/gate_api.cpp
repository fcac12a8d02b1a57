#include "http/gate_api.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "session/gates/gate_address.h"
#include "session/gates/write_payload.h"

namespace qel::http {

namespace {

using nlohmann::json;
using session::GateFailure;
using session::GateResult;

constexpr std::string_view kPrefix = "/api/gates/";
constexpr std::string_view kTags = "/api/tags/";

Response JsonResponse(int status, const json& body) {
    Response response;
    response.status = status;
    response.contentType = "application/json";
    response.fields.emplace_back("Cache-Control", "no-store");
    response.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
    return response;
}

// An error found before the line: {"gate", "error", "message"}.
Response Refusal(int status, const std::string& gas, const char* error, const std::string& message) {
    json body = {{"error", error}, {"message", message}};
    body["gate"] = gas.empty() ? json(nullptr) : json(gas);
    body["failure"] = nullptr;
    body["station"] = nullptr;
    body["hint"] = nullptr;
    return JsonResponse(status, body);
}

// "count=10" out of the query; 1 when absent; false when malformed.
bool CountOf(const std::string& query, int& count) {
    count = 1;
    std::size_t start = 0;
    while (start <= query.size()) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string_view part(query.data() + start, end - start);
        if (part.rfind("count=", 0) == 0) {
            const std::string_view digits = part.substr(6);
            const auto [stop, failure] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
            if (digits.empty() || failure != std::errc() || stop != digits.data() + digits.size()) return false;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

int StatusOf(GateFailure failure) {
    switch (failure) {
        case GateFailure::None: return 200;
        case GateFailure::BadGate:
        case GateFailure::BadValue: return 400;
        case GateFailure::NotAllowed: return 403;
        case GateFailure::StationDown: return 503;
        case GateFailure::NoAnswer: return 504;
        case GateFailure::LineError: return 502;
    }
    return 502;
}

Response GateResponse(const GateResult& r, const std::string& words) {
    if (r.ok()) {
        json body = {{"gate", r.gas}, {"count", r.count}, {"values", r.values}};
        if (r.values.size() == 1) body["v"] = r.values.front();
        return JsonResponse(200, body);
    }
    json body = {{"gate", r.gas}, {"error", session::GateFailureKey(r.failure)}, {"message", words}};
    body["failure"] = nullptr;
    body["station"] = nullptr;
    body["hint"] = nullptr;
    if (r.line) {
        body["station"] = r.line->station;
        body["failure"] = r.line->outcome.failure == session::FailureKind::None
                              ? (r.line->outcome.result == session::DriverResult::Refused ? "refused" : "line_failure")
                              : session::FailureKindKey(r.line->outcome.failure);
        body["hint"] = session::HintKey(r.line->hint);
    } else if (r.gate) {
        if (!r.gate->station3.empty()) body["station"] = r.gate->station;
        body["hint"] = session::GateFaultKey(r.gate->fault);
    } else if (const auto address = session::GateAddress::Parse(r.gas)) {
        body["station"] = address->station;
    }
    Response response = JsonResponse(StatusOf(r.failure), body);
    if (r.failure == GateFailure::StationDown) response.fields.emplace_back("Retry-After", "1");
    return response;
}

Response TagResponse(const session::TagResult& r, const std::string& words) {
    if (!r.known) return Refusal(404, "", "unknown_tag", words);
    if (!r.gate.ok()) {
        Response response = GateResponse(r.gate, words);
        json body = json::parse(response.body);
        body["tag"] = r.name;
        response.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
        return response;
    }
    json body = {{"tag", r.name}, {"gate", r.gate.gas}, {"type", session::TagTypeName(r.spec.type)}};
    const auto number = [](double v) {
        v = session::TidyValue(v);
        return v == std::trunc(v) && std::fabs(v) < 9e15 ? json(static_cast<std::int64_t>(v)) : json(v);
    };
    if (r.block) {
        body["v"] = json::array();
        for (const double v : r.values) body["v"].push_back(number(v));
    } else {
        body["v"] = r.values.empty() ? json(nullptr) : number(r.values.front());
    }
    body["raw"] = r.gate.values;
    if (!r.spec.unit.empty()) body["u"] = r.spec.unit;
    return JsonResponse(200, body);
}

bool BearerMatches(const std::string* authorization, const std::string& token) {
    if (authorization == nullptr || token.empty()) return false;
    constexpr std::string_view scheme = "Bearer ";
    if (authorization->size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>((*authorization)[i])) != std::tolower(static_cast<unsigned char>(scheme[i])))
            return false;
    const std::string_view given = std::string_view(*authorization).substr(scheme.size());
    // Every byte compared, whatever differs first.
    unsigned char differ = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < token.size(); ++i)
        differ |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    return differ == 0;
}

GateApi::GateApi(GateSource source, std::size_t queueLimit) : source_(std::move(source)), queueLimit_(queueLimit) {}

GateApi::~GateApi() { Stop(); }

bool GateApi::Serves(const std::string& path) {
    return path == "/api/openapi.json" || path.rfind(kPrefix, 0) == 0 || path.rfind(kTags, 0) == 0;
}

void GateApi::Handle(const Request& request, const Responder& respond) {
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (request.path == "/api/openapi.json") {
        if (!get) {
            Response refused = TextResponse(405);
            refused.fields.emplace_back("Allow", "GET, HEAD");
            respond(std::move(refused));
            return;
        }
        Response response;
        response.contentType = "application/json";
        response.body = OpenApiJson();
        respond(std::move(response));
        return;
    }
    if (request.path.rfind(kTags, 0) == 0) {
        HandleTag(request, respond);
        return;
    }
    const std::string gas = request.path.substr(kPrefix.size());
    if (!get && request.method != "PUT") {
        Response refused = TextResponse(405);
        refused.fields.emplace_back("Allow", "GET, HEAD, PUT");
        respond(std::move(refused));
        return;
    }
    if (gas.empty() || gas.find('/') != std::string::npos) {
        respond(Refusal(400, gas, "bad_gate", "name one gate: /api/gates/001DR0010"));
        return;
    }
    int count = 1;
    long long value = 0;
    if (get) {
        if (!CountOf(request.query, count)) {
            respond(Refusal(400, gas, "bad_gate", "count is a number: ?count=10"));
            return;
        }
    } else {
        if (!source_.write) {
            respond(Refusal(403, gas, "not_allowed",
                            "writes over HTTP are off; qelgate --http-writes with --http-token-file turns them on"));
            return;
        }
        if (!BearerMatches(request.Field("Authorization"), source_.token)) {
            Response refused = Refusal(401, gas, "unauthorized", "a write needs the bearer token of --http-token-file");
            refused.fields.emplace_back("WWW-Authenticate", "Bearer");
            respond(std::move(refused));
            return;
        }
        // The rule of every write's payload, as MQTT and Sparkplug take it.
        const session::WritePayload body = session::ParseWritePayload(request.body);
        if (!body.ok) {
            respond(Refusal(400, gas, "bad_value", "the body is refused: " + body.refusal));
            return;
        }
        value = body.value;
    }
    if (!Room(gas, respond)) return;
    const std::uint64_t tag = nextTag_++;
    const std::optional<GateResult> now = get ? source_.read(tag, gas, count) : source_.write(tag, gas, value);
    if (now) {
        Answer(*now, respond);
        return;
    }
    waiting_.emplace(tag, Waiting{gas, respond});
}

bool GateApi::Room(const std::string& name, const Responder& respond) const {
    if (waiting_.size() < queueLimit_ && source_.read) return true;
    Response busy = Refusal(503, name, "busy", "too many gate requests are waiting for the line; try again");
    busy.fields.emplace_back("Retry-After", "1");
    respond(std::move(busy));
    return false;
}

// A tag by name: the same checks and queue as a gate, its value in its units.
void GateApi::HandleTag(const Request& request, const Responder& respond) {
    const bool get = request.method == "GET" || request.method == "HEAD";
    const std::string name = request.path.substr(kTags.size());
    if (!source_.readTag) {
        respond(Refusal(404, "", "unknown_tag", "no tags: name them with tag=NAME in the --publish list"));
        return;
    }
    if (!get && request.method != "PUT") {
        Response refused = TextResponse(405);
        refused.fields.emplace_back("Allow", "GET, HEAD, PUT");
        respond(std::move(refused));
        return;
    }
    if (name.empty() || name.find('/') != std::string::npos) {
        respond(Refusal(400, "", "unknown_tag", "name one tag: /api/tags/oven_temp"));
        return;
    }
    double value = 0;
    if (!get) {
        if (!source_.writeTag) {
            respond(Refusal(403, "", "not_allowed",
                            "writes over HTTP are off; qelgate --http-writes with --http-token-file turns them on"));
            return;
        }
        if (!BearerMatches(request.Field("Authorization"), source_.token)) {
            Response refused = Refusal(401, "", "unauthorized", "a write needs the bearer token of --http-token-file");
            refused.fields.emplace_back("WWW-Authenticate", "Bearer");
            respond(std::move(refused));
            return;
        }
        // The rule of every write's payload; a tag's value may have a fraction.
        const session::WritePayload body = session::ParseWritePayload(request.body, true);
        if (!body.ok) {
            Response refused = Refusal(400, "", "bad_value", "the body is refused: " + body.refusal);
            json fields = json::parse(refused.body);
            fields["tag"] = name;
            refused.body = fields.dump(-1, ' ', false, json::error_handler_t::replace);
            respond(std::move(refused));
            return;
        }
        value = body.number;
    }
    if (!Room(name, respond)) return;
    const std::uint64_t tag = nextTag_++;
    const std::optional<session::TagResult> now = get ? source_.readTag(tag, name) : source_.writeTag(tag, name, value);
    if (now) {
        AnswerTag(*now, respond);
        return;
    }
    waiting_.emplace(tag, Waiting{name, respond, true});
}

void GateApi::AnswerTag(const session::TagResult& result, const Responder& respond) const {
    const std::string words =
        result.gate.ok() || !source_.words || !result.known ? result.gate.reason : source_.words(result.gate);
    respond(TagResponse(result, words));
}

void GateApi::Answer(const GateResult& result, const Responder& respond) const {
    const std::string words = result.ok() || !source_.words ? result.reason : source_.words(result);
    respond(GateResponse(result, words));
}

void GateApi::Collect() {
    if (!source_.collect) return;
    for (const auto& [tag, result] : source_.collect()) {
        const auto found = waiting_.find(tag);
        if (found == waiting_.end()) continue;
        if (found->second.tag && source_.finishTag)
            AnswerTag(source_.finishTag(found->second.gas, result), found->second.respond);
        else
            Answer(result, found->second.respond);
        waiting_.erase(found);
    }
}

void GateApi::Stop() {
    std::map<std::uint64_t, Waiting> left;
    left.swap(waiting_);
    for (auto& [tag, waiting] : left) waiting.respond(Refusal(503, waiting.gas, "busy", "the server is stopping"));
}

}  // namespace qel::http
