#include "http/metrics_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <map>
#include <optional>

namespace qel::http {

namespace {

using session::FailureKind;
using session::StationStats;

struct Label {
    std::string_view name;
    std::string_view value;
};

// Appends the families one at a time: HELP and TYPE, then every sample.
class Exposition {
public:
    explicit Exposition(std::string& out) : out_(out) {}

    void Family(std::string_view name, std::string_view type, std::string_view help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        for (const char c : help) {
            if (c == '\\') out_ += "\\\\";
            else if (c == '\n') out_ += "\\n";
            else out_ += c;
        }
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }

    // A family of one sample without labels.
    void Single(std::string_view name, std::string_view type, std::string_view help, std::string_view value) {
        Family(name, type, help);
        Sample(name, {}, value);
    }

    void Sample(std::string_view name, std::initializer_list<Label> labels, std::string_view value,
                std::initializer_list<Label> more = {}) {
        out_ += name;
        bool first = true;
        for (const auto& list : {labels, more})
            for (const Label& label : list) {
                out_ += first ? '{' : ',';
                first = false;
                out_ += label.name;
                out_ += "=\"";
                AppendEscaped(label.value);
                out_ += '"';
            }
        if (!first) out_ += '}';
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }

    void AppendEscaped(std::string_view value) {
        if (value.find_first_of("\\\"\n") == std::string_view::npos) {
            out_ += value;
            return;
        }
        for (const char c : value) {
            if (c == '\\') out_ += "\\\\";
            else if (c == '"') out_ += "\\\"";
            else if (c == '\n') out_ += "\\n";
            else out_ += c;
        }
    }

private:
    std::string& out_;
};

// A sample value's text, without an allocation.
class Count {
public:
    explicit Count(std::uint64_t value)
        : size_(static_cast<std::size_t>(std::to_chars(text_, text_ + sizeof text_, value).ptr - text_)) {}
    operator std::string_view() const { return {text_, size_}; }

private:
    char text_[24];
    std::size_t size_;
};

template <typename Value>
void StationFamily(Exposition& e, const std::vector<StationStats>& stations, const char* name, const char* type,
                   const char* help, Value value) {
    e.Family(name, type, help);
    for (const StationStats& s : stations) {
        const std::string station = std::to_string(s.station);
        e.Sample(name, {{"station", station}, {"model", s.model}}, value(s));
    }
}

// A family of a sample per station and key, the key as the label `label`:
// `keyName(key)` its value, `value(station, key)` the sample's.
template <typename Keys, typename KeyName, typename Value>
void StationKeyFamily(Exposition& e, const std::vector<StationStats>& stations, const char* name, const char* type,
                      const char* help, const char* label, const Keys& keys, KeyName keyName, Value value) {
    e.Family(name, type, help);
    for (const StationStats& s : stations) {
        const std::string station = std::to_string(s.station);
        for (const auto key : keys)
            e.Sample(name, {{"station", station}, {"model", s.model}}, value(s, key), {{label, keyName(key)}});
    }
}

constexpr std::array kStationStates{session::StationState::Up, session::StationState::Down,
                                    session::StationState::Probing};
constexpr std::array kBlockChecks{session::BlockCheck::Learning, session::BlockCheck::Shape,
                                  session::BlockCheck::Checksum, session::BlockCheck::Unverified};
// Every kind of failure but None.
constexpr auto kFailureKinds = [] {
    std::array<FailureKind, session::kFailureKindCount - 1> kinds{};
    for (std::size_t i = 0; i < kinds.size(); ++i) kinds[i] = static_cast<FailureKind>(i + 1);
    return kinds;
}();

void LineFamilies(Exposition& e, const session::LineStats& line) {
    e.Single("qelgate_line_port_open", "gauge", "1 while the serial port is open, 0 while it is being opened again",
             Count(line.portOpen ? 1 : 0));
    e.Single("qelgate_line_port_reopens_total", "counter", "Times the serial port was closed and opened again",
             Count(line.portReopens));
    e.Single("qelgate_line_exchanges_total", "counter", "Exchanges done on the line", Count(line.exchanges));
    e.Single("qelgate_line_errors_total", "counter", "Attempts the driver failed for parity, framing, overrun or break",
             Count(line.lineErrors));
    e.Single("qelgate_line_busy_seconds_total", "counter", "Time the line spent in exchanges",
             SampleValue(line.busySeconds));
    e.Single("qelgate_line_busy_ratio", "gauge", "Share of the last minute the line spent in exchanges",
             SampleValue(line.busyShareMinute));
    e.Single("qelgate_line_queue_depth", "gauge", "Requests waiting for the line", Count(line.queueDepth));
    e.Single("qelgate_line_queue_depth_max", "gauge", "Most requests that ever waited for the line at once",
             Count(line.queueDepthMax));
    e.Single("qelgate_line_shared_requests_total", "counter",
             "Requests answered by a read queued for another request, which they joined", Count(line.sharedRequests));
    e.Single("qelgate_line_image_requests_total", "counter", "Requests answered from the line image, without line time",
             Count(line.imageRequests));
    e.Single("qelgate_line_exchanges_saved_total", "counter", "Exchanges that shared reads and the line image saved",
             Count(line.exchangesSaved));
    e.Single("qelgate_line_image_values", "gauge", "Values the line image holds", Count(line.imageValues));
    e.Single("qelgate_line_image_max_age_seconds", "gauge",
             "The oldest a value may be to answer a read (--max-age; 0: off)", SampleValue(line.imageMaxAge));
    e.Single("qelgate_line_image_age_seconds_mean", "gauge",
             "Age of the oldest value of an answer from the line image, on average", SampleValue(line.imageAgeMean));
    e.Single("qelgate_line_image_age_seconds_max", "gauge",
             "Age of the oldest value any answer from the line image gave", SampleValue(line.imageAgeMax));
}

void StationFamilies(Exposition& e, const std::vector<StationStats>& stations) {
    StationFamily(e, stations, "qelgate_station_up", "gauge", "1 while the station answers, 0 while down or probed",
                  [](const StationStats& s) { return Count(s.state == session::StationState::Up ? 1 : 0); });

    StationKeyFamily(
        e, stations, "qelgate_station_state", "gauge", "The station's state: 1 for the one it is in", "state",
        kStationStates, session::StationStateName,
        [](const StationStats& s, session::StationState state) { return Count(s.state == state ? 1 : 0); });
    StationFamily(e, stations, "qelgate_station_state_change_timestamp_seconds", "gauge",
                  "When the station entered its state, seconds since the Unix epoch",
                  [](const StationStats& s) { return SampleValue(s.stateSince); });

    StationFamily(e, stations, "qelgate_station_requests_total", "counter",
                  "Requests for the station (one or more exchanges each)",
                  [](const StationStats& s) { return Count(s.requests); });
    StationFamily(e, stations, "qelgate_station_exchanges_total", "counter", "Exchanges with the station",
                  [](const StationStats& s) { return Count(s.exchanges); });
    StationFamily(e, stations, "qelgate_station_attempts_total", "counter", "Attempts of exchanges with the station",
                  [](const StationStats& s) { return Count(s.attempts); });
    StationFamily(e, stations, "qelgate_station_retries_total", "counter",
                  "Attempts after the first of an exchange", [](const StationStats& s) { return Count(s.retries); });

    StationKeyFamily(e, stations, "qelgate_station_failures_total", "counter", "Attempts that failed, by why", "kind",
                     kFailureKinds, session::FailureKindKey, [](const StationStats& s, FailureKind kind) {
                         return Count(s.failures[static_cast<std::size_t>(kind)]);
                     });

    e.Family("qelgate_station_answer_seconds", "histogram", "Answer time of the attempts that succeeded");
    std::array<std::string, session::kAnswerBuckets.size()> bounds;
    for (std::size_t i = 0; i < bounds.size(); ++i) bounds[i] = SampleValue(session::kAnswerBuckets[i]);
    for (const StationStats& s : stations) {
        const std::string station = std::to_string(s.station);
        for (std::size_t i = 0; i < session::kAnswerBuckets.size(); ++i)
            e.Sample("qelgate_station_answer_seconds_bucket", {{"station", station}, {"model", s.model}},
                     Count(s.answerBuckets[i]), {{"le", bounds[i]}});
        // The +Inf bucket holds every answer, whatever the slot after the last bound says.
        e.Sample("qelgate_station_answer_seconds_bucket", {{"station", station}, {"model", s.model}},
                 Count(s.answerCount), {{"le", "+Inf"}});
        e.Sample("qelgate_station_answer_seconds_sum", {{"station", station}, {"model", s.model}},
                 SampleValue(s.answerSum));
        e.Sample("qelgate_station_answer_seconds_count", {{"station", station}, {"model", s.model}},
                 Count(s.answerCount));
    }
    StationFamily(e, stations, "qelgate_station_recent_answer_median_seconds", "gauge",
                  "Median answer time of the recent answers (0 without any)",
                  [](const StationStats& s) { return SampleValue(s.answerMedian); });
    StationFamily(e, stations, "qelgate_station_recent_answer_p99_seconds", "gauge",
                  "99th percentile answer time of the recent answers (0 without any)",
                  [](const StationStats& s) { return SampleValue(s.answerP99); });
    StationFamily(e, stations, "qelgate_station_last_success_timestamp_seconds", "gauge",
                  "When the station last answered, seconds since the Unix epoch (0: never)",
                  [](const StationStats& s) { return SampleValue(s.lastSuccess); });
    StationFamily(e, stations, "qelgate_station_last_failure_timestamp_seconds", "gauge",
                  "When an attempt with the station last failed, seconds since the Unix epoch (0: never)",
                  [](const StationStats& s) { return SampleValue(s.lastFailureTime); });

    StationKeyFamily(e, stations, "qelgate_station_block_check", "gauge",
                     "How the station's block data is checked: 1 for the way in use (unverified: not checked)", "check",
                     kBlockChecks, session::BlockCheckName, [](const StationStats& s, session::BlockCheck check) {
                         return Count(s.blockCheck == check ? 1 : 0);
                     });
}

void AbsentFamilies(Exposition& e, const std::vector<StationStats>& absent) {
    auto family = [&](const char* name, const char* type, const char* help, auto value) {
        e.Family(name, type, help);
        for (const StationStats& s : absent) e.Sample(name, {{"station", std::to_string(s.station)}}, value(s));
    };
    family("qelgate_unit_absent_requests_total", "counter",
           "Requests for a unit that never answered and that no option names (absent, not a station)",
           [](const StationStats& s) { return std::string(Count(s.requests)); });
    family("qelgate_unit_absent_first_request_timestamp_seconds", "gauge",
           "When an absent unit was first asked for, seconds since the Unix epoch",
           [](const StationStats& s) { return SampleValue(s.firstRequest); });
    family("qelgate_unit_absent_last_request_timestamp_seconds", "gauge",
           "When an absent unit was last asked for, seconds since the Unix epoch",
           [](const StationStats& s) { return SampleValue(s.lastRequest); });
}

// A family of a sample per front-end that `value(counts)` gives one for.
template <typename Value>
void FrontEndFamily(Exposition& e, const StatusView& view, const char* name, const char* type, const char* help,
                    Value value) {
    e.Family(name, type, help);
    for (const auto& [frontEnd, counts] : view.frontEnds)
        if (const auto sample = value(counts)) e.Sample(name, {{"frontend", frontEnd}}, *sample);
}

// A counter family of a sample per front-end and code counted in `codes`,
// the code as the label `label`.
void FrontEndCodeFamily(Exposition& e, const StatusView& view, const char* name, const char* help, const char* label,
                        std::map<unsigned, std::uint64_t> session::FrontEndStats::Snapshot::*codes) {
    e.Family(name, "counter", help);
    for (const auto& [frontEnd, counts] : view.frontEnds)
        for (const auto& [code, count] : counts.*codes)
            e.Sample(name, {{"frontend", frontEnd}}, Count(count), {{label, std::to_string(code)}});
}

void FrontEndFamilies(Exposition& e, const StatusView& view) {
    using Snapshot = session::FrontEndStats::Snapshot;
    const auto each = [&](const char* name, const char* type, const char* help, std::uint64_t Snapshot::*count) {
        FrontEndFamily(e, view, name, type, help,
                       [count](const Snapshot& counts) { return std::optional<Count>(Count(counts.*count)); });
    };
    each("qelgate_frontend_clients", "gauge", "Clients connected now", &Snapshot::connected);
    each("qelgate_frontend_connections_total", "counter", "Clients that connected", &Snapshot::connects);
    each("qelgate_frontend_refused_total", "counter", "Clients refused because too many were connected",
         &Snapshot::refused);
    each("qelgate_frontend_evicted_total", "counter", "Clients closed to make room or for misbehaving",
         &Snapshot::evicted);

    FrontEndCodeFamily(e, view, "qelgate_frontend_requests_total", "Requests received, by function code", "function",
                       &Snapshot::requests);
    FrontEndCodeFamily(e, view, "qelgate_frontend_exceptions_total", "Requests answered with an exception, by code",
                       "code", &Snapshot::exceptions);

    e.Family("qelgate_frontend_commands_refused_total", "counter",
             "Commands (Sparkplug DCMD and NCMD) refused before the line, by reason");
    for (const auto& [frontEnd, counts] : view.frontEnds)
        for (const auto& [reason, count] : counts.refusals)
            e.Sample("qelgate_frontend_commands_refused_total", {{"frontend", frontEnd}}, Count(count),
                     {{"reason", reason}});

    // The store-and-forward queues, of the front-ends that have one.
    bool buffered = false;
    for (const auto& [frontEnd, counts] : view.frontEnds) buffered = buffered || counts.buffer.has_value();
    if (!buffered) return;
    const auto buffer = [&](const char* name, const char* type, const char* help, auto value) {
        FrontEndFamily(e, view, name, type, help, [&value](const Snapshot& counts) {
            return counts.buffer ? std::optional<std::string>(value(*counts.buffer)) : std::nullopt;
        });
    };
    using session::BufferStats;
    buffer("qelgate_buffer_messages", "gauge", "Messages in the on-disk queue, waiting for the broker's acknowledgement",
           [](const BufferStats& b) { return std::string(Count(b.depth)); });
    buffer("qelgate_buffer_bytes", "gauge", "Bytes of the messages in the queue, as its bound counts them",
           [](const BufferStats& b) { return std::string(Count(b.bytes)); });
    buffer("qelgate_buffer_file_bytes", "gauge", "Size of the queue's files on disk",
           [](const BufferStats& b) { return std::string(Count(b.fileBytes)); });
    buffer("qelgate_buffer_oldest_age_seconds", "gauge", "Age of the oldest message in the queue; 0 when empty",
           [](const BufferStats& b) { return SampleValue(b.oldestAge); });
    buffer("qelgate_buffer_dropped_total", "counter", "Messages dropped: the oldest from the full queue, and those its disk refused while the broker was away",
           [](const BufferStats& b) { return std::string(Count(b.dropped)); });
    buffer("qelgate_buffer_forwarded_total", "counter", "Messages the broker acknowledged and the queue let go",
           [](const BufferStats& b) { return std::string(Count(b.forwarded)); });
    buffer("qelgate_buffer_usable", "gauge",
           "1 while the queue takes messages; 0 while its disk refuses them, or when it could not be used at the start",
           [](const BufferStats& b) { return std::string(b.usable ? "1" : "0"); });
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
    std::string out;
    Exposition(out).AppendEscaped(value);
    return out;
}

std::string SampleValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc() ? std::string(buffer, end) : "NaN";
}

std::string MetricsText(const StatusSource& source, const StatusView& view) {
    std::string out;
    out.reserve(view.line.stations.size() * 6000 + 4096);
    Exposition e(out);
    e.Family("qelgate_build_info", "gauge", "The gateway's version, as a label; always 1");
    e.Sample("qelgate_build_info", {{"version", source.version}}, "1");
    e.Single("qelgate_start_time_seconds", "gauge", "When the gateway started, seconds since the Unix epoch",
             SampleValue(source.started));
    if (source.recording) {
        const RecordingCounts r = source.recording();
        e.Single("qelgate_recording_changes", "gauge", "Changes in the recording (--record) now", Count(r.changes));
        e.Single("qelgate_recording_recorded_total", "counter", "Changes appended to the recording since the start",
               Count(r.recorded));
        e.Single("qelgate_recording_dropped_total", "counter",
               "Changes dropped from the recording for its bound (--record-max), the oldest first", Count(r.dropped));
        e.Single("qelgate_recording_lost_total", "counter", "Changes lost because the recording's disk refused them",
               Count(r.lost));
        e.Single("qelgate_recording_usable", "gauge", "1 while the recording takes changes; 0 while its disk refuses them",
               r.failing ? "0" : "1");
    }
    if (source.reloads) {
        const ReloadCounts reloads = source.reloads();
        e.Family("qelgate_config_reloads_total", "counter",
                 "Reloads of the configuration file (SIGHUP), by result: applied, or refused with the running "
                 "configuration kept");
        e.Sample("qelgate_config_reloads_total", {{"result", "applied"}}, std::to_string(reloads.applied));
        e.Sample("qelgate_config_reloads_total", {{"result", "refused"}}, std::to_string(reloads.refused));
    }
    if (view.hasLine) {
        LineFamilies(e, view.line.line);
        // An absent unit (asked, never answered, named by no option) is no
        // station: no `up` series for an alert on `qelgate_station_up == 0`
        // to fire on for ever, only when and how often it was asked.
        std::vector<StationStats> present, absent;
        for (const StationStats& s : view.line.stations)
            (s.state == session::StationState::Absent ? absent : present).push_back(s);
        StationFamilies(e, present);
        AbsentFamilies(e, absent);
    }
    FrontEndFamilies(e, view);
    return out;
}

}  // namespace qel::http
