#include "http/status_json.h"

#include "session/gates/tag.h"

#include <cmath>

namespace qel::http {

namespace {

using nlohmann::json;

json StationJson(const session::StationStats& s) {
    json failures = json::object();
    std::uint64_t failed = 0;
    for (int kind = 1; kind < session::kFailureKindCount; ++kind) {
        const std::uint64_t count = s.failures[static_cast<std::size_t>(kind)];
        failures[session::FailureKindKey(static_cast<session::FailureKind>(kind))] = count;
        failed += count;
    }
    json buckets = json::array();
    for (std::size_t i = 0; i < session::kAnswerBuckets.size(); ++i)
        buckets.push_back({{"le", session::kAnswerBuckets[i]}, {"count", s.answerBuckets[i]}});
    json lastFailure = nullptr;
    if (s.lastFailure != session::FailureKind::None)
        lastFailure = {{"kind", session::FailureKindKey(s.lastFailure)},
                       {"text", session::FailureKindText(s.lastFailure)},
                       {"gate", s.lastFailureGate},
                       {"time", s.lastFailureTime}};
    return {{"station", s.station},
            {"model", s.model},
            {"state", session::StationStateName(s.state)},
            {"stateSince", s.stateSince},
            {"requests", s.requests},
            {"exchanges", s.exchanges},
            {"attempts", s.attempts},
            {"retries", s.retries},
            {"failures", failures},
            {"failuresTotal", failed},
            {"answer",
             {{"median", s.answerMedian},
              {"p99", s.answerP99},
              {"count", s.answerCount},
              {"sum", s.answerSum},
              {"buckets", buckets}}},
            {"lastSuccess", s.lastSuccess},
            {"lastFailure", lastFailure},
            {"blockCheck", session::BlockCheckName(s.blockCheck)},
            {"answersAs", s.answersAs.empty() ? json(nullptr) : json(s.answersAs)},
            {"advice", s.advice.empty() ? json(nullptr) : json(s.advice)}};
}

json LineJson(const session::LineStats& l) {
    return {{"portOpen", l.portOpen},
            {"portReopens", l.portReopens},
            {"busyShareMinute", l.busyShareMinute},
            {"busyShareTotal", l.busyShareTotal},
            {"busySeconds", l.busySeconds},
            {"queueDepth", l.queueDepth},
            {"queueDepthMax", l.queueDepthMax},
            {"exchangesPerSecond", l.exchangesPerSecond},
            {"exchanges", l.exchanges},
            {"lineErrors", l.lineErrors},
            {"started", l.started},
            {"sharing",
             {{"sharedRequests", l.sharedRequests},
              {"imageRequests", l.imageRequests},
              {"exchangesSaved", l.exchangesSaved},
              {"imageValues", l.imageValues},
              {"imageMaxAge", l.imageMaxAge},
              {"imageAgeMean", l.imageAgeMean},
              {"imageAgeMax", l.imageAgeMax}}}};
}

json FrontEndJson(const session::FrontEndStats::Snapshot& f) {
    json requests = json::object();
    for (const auto& [function, count] : f.requests) requests[std::to_string(function)] = count;
    json exceptions = json::object();
    for (const auto& [code, count] : f.exceptions) exceptions[std::to_string(code)] = count;
    json frontEnd = {{"connected", f.connected}, {"connects", f.connects},   {"refused", f.refused},
                     {"evicted", f.evicted},     {"requests", requests}, {"exceptions", exceptions}};
    if (!f.refusals.empty()) frontEnd["refusals"] = f.refusals;
    if (f.buffer)
        frontEnd["buffer"] = {{"depth", f.buffer->depth},         {"bytes", f.buffer->bytes},
                              {"fileBytes", f.buffer->fileBytes}, {"oldestAge", f.buffer->oldestAge},
                              {"dropped", f.buffer->dropped},     {"forwarded", f.buffer->forwarded},
                              {"usable", f.buffer->usable},       {"trouble", f.buffer->trouble}};
    return frontEnd;
}

}  // namespace

namespace {

// Each series as seconds before now and values (null: down or failed);
// station answer times in milliseconds.
json SeriesJson(const session::TrendSeries& series, double now, double scale) {
    json ago = json::array(), values = json::array();
    for (std::size_t i = 0; i < series.times.size(); ++i) {
        ago.push_back(std::round(now - series.times[i]));
        // A station's answer time to 0.1 ms; a gate's value as read (a tag's
        // engineering value, 23.45 kept whole).
        const double v = series.values[i].value_or(0);
        values.push_back(!series.values[i] ? json(nullptr)
                         : scale == 1        ? json(session::TidyValue(v))
                                             : json(std::round(v * scale * 10) / 10));
    }
    json out = {{"name", series.name}, {"ago", ago}, {"v", values}};
    if (!series.gate.empty()) out["gate"] = series.gate;
    if (!series.unit.empty()) out["unit"] = series.unit;
    return out;
}

json TrendsJson(const session::TrendView& view) {
    json stations = json::array(), gates = json::array();
    for (const auto& s : view.stations) stations.push_back(SeriesJson(s, view.now, 1000));
    for (const auto& g : view.gates) gates.push_back(SeriesJson(g, view.now, 1));
    return {{"span", view.span}, {"stations", stations}, {"gates", gates}};
}

}  // namespace

json StatusJson(const StatusSource& source, const StatusView& view) {
    json status = {{"version", source.version},
                   {"driverBanner", source.driverBanner},
                   {"port",
                    {{"name", source.port.name},
                     {"baud", source.port.baud},
                     {"dataBits", source.port.dataBits},
                     {"parity", source.port.parity},
                     {"stopBits", source.port.stopBits},
                     {"timeout", source.port.timeout / 100.0}}},
                   {"started", source.started},
                   {"now", view.now},
                   {"uptime", view.now > source.started ? view.now - source.started : 0.0}};
    status["line"] = view.hasLine ? LineJson(view.line.line) : json(nullptr);
    // Absent units (asked, never answered, named by no option) apart from
    // the stations: when and how often they were asked.
    json stations = json::array(), absent = json::array();
    for (const auto& s : view.line.stations) {
        if (s.state != session::StationState::Absent) {
            stations.push_back(StationJson(s));
            continue;
        }
        absent.push_back({{"unit", s.station},
                          {"requests", s.requests},
                          {"attempts", s.attempts},
                          {"firstRequest", s.firstRequest},
                          {"lastRequest", s.lastRequest}});
    }
    status["stations"] = stations;
    status["absent"] = absent;
    json frontEnds = json::object();
    for (const auto& [name, counts] : view.frontEnds) frontEnds[name] = FrontEndJson(counts);
    status["frontEnds"] = frontEnds;
    status["recording"] = json(nullptr);
    if (source.recording) {
        const RecordingCounts r = source.recording();
        status["recording"] = {{"file", r.file},         {"changes", r.changes}, {"recorded", r.recorded},
                               {"dropped", r.dropped},   {"lost", r.lost},       {"usable", !r.failing}};
    }
    status["trends"] = source.trends ? TrendsJson(source.trends(view.now)) : json(nullptr);
    return status;
}

}  // namespace qel::http
