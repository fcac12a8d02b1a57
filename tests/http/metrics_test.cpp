#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "http/http_server.h"
#include "http/metrics_text.h"
#include "http/status_json.h"

namespace {

using namespace qel::http;
using qel::session::FailureKind;

qel::session::StationStats Station(unsigned number, std::string model) {
    qel::session::StationStats s;
    s.station = number;
    s.model = std::move(model);
    return s;
}

StatusSource FakeSource(std::vector<qel::session::StationStats> stations) {
    StatusSource source;
    source.version = "7.03.0";
    source.driverBanner = "banner";
    source.port = {"ttyUSB0", 9600, 8, "even", "1", 100};
    source.started = 1000;
    source.now = [] { return 1060.0; };
    source.line = [stations] {
        qel::session::LineSnapshot snapshot;
        snapshot.line.exchanges = 42;
        snapshot.stations = stations;
        return snapshot;
    };
    source.frontEnds.push_back({"modbus", [] {
                                    qel::session::FrontEndStats stats;
                                    stats.Connected();
                                    stats.Request(3);
                                    stats.Request(3);
                                    stats.Exception(11);
                                    return stats.Take();
                                }});
    return source;
}

std::string Metrics(const StatusSource& source) { return MetricsText(source, TakeView(source)); }

// The value of the one sample whose name and labels are given exactly.
std::string SampleOf(const std::string& text, const std::string& head) {
    std::istringstream lines(text);
    std::string line;
    std::string found = "(absent)";
    int seen = 0;
    while (std::getline(lines, line))
        if (line.rfind(head + " ", 0) == 0) {
            found = line.substr(head.size() + 1);
            ++seen;
        }
    return seen == 1 ? found : "(" + std::to_string(seen) + " samples)";
}

TEST(MetricsText, EscapesLabelValues) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"FA2", "FA2"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"C:\\models", "C:\\\\models"},
        {"two\nlines", "two\\nlines"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeLabelValue(c.in), c.out) << c.in;

    const std::string text = Metrics(FakeSource({Station(7, "odd \"model\"\\\n")}));
    EXPECT_EQ(SampleOf(text, "qelgate_station_up{station=\"7\",model=\"odd \\\"model\\\"\\\\\\n\"}"), "1");
}

TEST(MetricsText, SampleValues) {
    const struct {
        double in;
        const char* out;
    } cases[] = {{0, "0"}, {0.01, "0.01"}, {10, "10"}, {1.5e-7, "1.5e-07"}, {1.0 / 0.0, "+Inf"}, {-1.0 / 0.0, "-Inf"}};
    for (const auto& c : cases) EXPECT_EQ(SampleValue(c.in), c.out) << c.in;
}

TEST(MetricsText, HistogramIsCumulativeWithInfSumAndCount) {
    auto s = Station(3, "FA3");
    // Answers of 15 ms, 40 ms, 40 ms and 3 s, as the scheduler counts them.
    s.answerBuckets = {0, 1, 3, 3, 3, 3, 3, 3, 4, 4, 4};
    s.answerCount = 4;
    s.answerSum = 3.095;
    const std::string text = Metrics(FakeSource({s}));
    const std::string head = "qelgate_station_answer_seconds_bucket{station=\"3\",model=\"FA3\",le=\"";
    const struct {
        const char* le;
        const char* count;
    } buckets[] = {{"0.01", "0"}, {"0.02", "1"}, {"0.05", "3"}, {"0.1", "3"}, {"0.2", "3"}, {"0.5", "3"},
                   {"1", "3"},    {"2", "3"},    {"5", "4"},    {"10", "4"}, {"+Inf", "4"}};
    std::size_t last = 0;
    for (const auto& b : buckets) {
        EXPECT_EQ(SampleOf(text, head + b.le + "\"}"), b.count) << b.le;
        const std::size_t at = text.find(head + b.le + "\"}");
        EXPECT_GT(at, last) << "buckets in ascending order: " << b.le;
        last = at;
    }
    EXPECT_EQ(SampleOf(text, "qelgate_station_answer_seconds_sum{station=\"3\",model=\"FA3\"}"), "3.095");
    EXPECT_EQ(SampleOf(text, "qelgate_station_answer_seconds_count{station=\"3\",model=\"FA3\"}"), "4");
    EXPECT_NE(text.find("# TYPE qelgate_station_answer_seconds histogram\n"), std::string::npos);
}

TEST(MetricsText, FailuresByKindStateAndFrontEnd) {
    auto s = Station(5, "FA2");
    s.state = qel::session::StationState::Down;
    s.failures[static_cast<std::size_t>(FailureKind::NoAnswer)] = 9;
    s.blockCheck = qel::session::BlockCheck::Unverified;
    const std::string text = Metrics(FakeSource({s}));
    const std::string labels = "{station=\"5\",model=\"FA2\"";
    EXPECT_EQ(SampleOf(text, "qelgate_station_failures_total" + labels + ",kind=\"no_answer\"}"), "9");
    EXPECT_EQ(SampleOf(text, "qelgate_station_failures_total" + labels + ",kind=\"nak\"}"), "0");
    EXPECT_EQ(SampleOf(text, "qelgate_station_failures_total" + labels + ",kind=\"none\"}"), "(0 samples)");
    EXPECT_EQ(SampleOf(text, "qelgate_station_up" + labels + "}"), "0");
    EXPECT_EQ(SampleOf(text, "qelgate_station_state" + labels + ",state=\"down\"}"), "1");
    EXPECT_EQ(SampleOf(text, "qelgate_station_block_check" + labels + ",check=\"unverified\"}"), "1");
    EXPECT_EQ(SampleOf(text, "qelgate_line_exchanges_total"), "42");
    EXPECT_EQ(SampleOf(text, "qelgate_frontend_requests_total{frontend=\"modbus\",function=\"3\"}"), "2");
    EXPECT_EQ(SampleOf(text, "qelgate_frontend_exceptions_total{frontend=\"modbus\",code=\"11\"}"), "1");
}

TEST(MetricsText, AnAbsentUnitHasNoStationSeriesOnlyWhenAndHowOftenItWasAsked) {
    auto absent = Station(9, "FA2");
    absent.state = qel::session::StationState::Absent;
    absent.requests = 3;
    absent.attempts = 6;
    absent.firstRequest = 1010;
    absent.lastRequest = 1050;
    auto down = Station(5, "FA2");
    down.state = qel::session::StationState::Down;
    StatusSource source = FakeSource({down, absent});
    source.frontEnds.push_back({"sparkplug", [] {
                                    qel::session::FrontEndStats stats;
                                    stats.Refusal("not_allowed");
                                    stats.Refusal("not_allowed");
                                    stats.Refusal("value");
                                    return stats.Take();
                                }});
    const std::string text = Metrics(source);
    // The documented alert, qelgate_station_up == 0, fires for the down station only.
    EXPECT_EQ(SampleOf(text, "qelgate_station_up{station=\"5\",model=\"FA2\"}"), "0");
    EXPECT_EQ(text.find("station=\"9\",model"), std::string::npos);
    EXPECT_EQ(SampleOf(text, "qelgate_unit_absent_requests_total{station=\"9\"}"), "3");
    EXPECT_EQ(SampleOf(text, "qelgate_unit_absent_first_request_timestamp_seconds{station=\"9\"}"), "1010");
    EXPECT_EQ(SampleOf(text, "qelgate_unit_absent_last_request_timestamp_seconds{station=\"9\"}"), "1050");
    EXPECT_EQ(SampleOf(text, "qelgate_unit_absent_requests_total{station=\"5\"}"), "(0 samples)");
    EXPECT_EQ(SampleOf(text,
                       "qelgate_frontend_commands_refused_total{frontend=\"sparkplug\",reason=\"not_allowed\"}"),
              "2");
    EXPECT_EQ(SampleOf(text, "qelgate_frontend_commands_refused_total{frontend=\"sparkplug\",reason=\"value\"}"),
              "1");
    // /api/status: the stations, and the absent units apart.
    const auto json = StatusJson(source, TakeView(source));
    ASSERT_EQ(json["stations"].size(), 1u);
    EXPECT_EQ(json["stations"][0]["station"], 5);
    ASSERT_EQ(json["absent"].size(), 1u);
    EXPECT_EQ(json["absent"][0]["unit"], 9);
    EXPECT_EQ(json["absent"][0]["requests"], 3);
    EXPECT_EQ(json["absent"][0]["attempts"], 6);
    EXPECT_EQ(json["absent"][0]["lastRequest"], 1050.0);
    EXPECT_EQ(json["frontEnds"]["sparkplug"]["refusals"]["not_allowed"], 2);
}

TEST(MetricsText, WithoutLineStatisticsOnlyTheGatewaysOwn) {
    StatusSource source = FakeSource({});
    source.line = nullptr;
    const std::string text = Metrics(source);
    EXPECT_EQ(text.find("qelgate_line_"), std::string::npos);
    EXPECT_EQ(text.find("qelgate_station_"), std::string::npos);
    EXPECT_EQ(SampleOf(text, "qelgate_build_info{version=\"7.03.0\"}"), "1");
    EXPECT_TRUE(StatusJson(source, TakeView(source))["line"].is_null());
}

TEST(MetricsText, TheRecordingSaysWhatItKeptAndWhetherItsDiskTakesChanges) {
    StatusSource source = FakeSource({});
    EXPECT_EQ(Metrics(source).find("qelgate_recording_"), std::string::npos);
    EXPECT_TRUE(StatusJson(source, TakeView(source))["recording"].is_null());
    source.recording = [] { return qel::http::RecordingCounts{"/var/lib/night.db", 900, 1000, 100, 7, true}; };
    const std::string text = Metrics(source);
    EXPECT_EQ(SampleOf(text, "qelgate_recording_changes"), "900");
    EXPECT_EQ(SampleOf(text, "qelgate_recording_recorded_total"), "1000");
    EXPECT_EQ(SampleOf(text, "qelgate_recording_dropped_total"), "100");
    EXPECT_EQ(SampleOf(text, "qelgate_recording_lost_total"), "7");
    EXPECT_EQ(SampleOf(text, "qelgate_recording_usable"), "0");
    const auto json = StatusJson(source, TakeView(source))["recording"];
    EXPECT_EQ(json["file"], "/var/lib/night.db");
    EXPECT_EQ(json["changes"], 900);
    EXPECT_EQ(json["recorded"], 1000);
    EXPECT_EQ(json["dropped"], 100);
    EXPECT_EQ(json["lost"], 7);
    EXPECT_EQ(json["usable"], false);
}

TEST(MetricsText, PromtoolFindsNoProblem) {
    if (std::FILE* probe = std::fopen("/usr/bin/promtool", "r")) std::fclose(probe);
    else GTEST_SKIP() << "no /usr/bin/promtool";
    std::vector<qel::session::StationStats> stations;
    for (unsigned n = 0; n < 256; n += 51) {
        auto s = Station(n, n % 2 ? "FA3" : "FA2 \"custom\"");
        s.answerBuckets.fill(n);
        s.answerCount = n;
        s.failures[2] = n;
        if (n == 102) s.state = qel::session::StationState::Absent;  // the absent units' families too
        stations.push_back(s);
    }
    const std::string path = testing::TempDir() + "metrics.txt";
    StatusSource source = FakeSource(stations);
    source.recording = [] { return qel::http::RecordingCounts{"night.db", 1, 2, 3, 4, false}; };
    std::ofstream(path) << Metrics(source);
    const std::string command = "/usr/bin/promtool check metrics < " + path + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    EXPECT_EQ(pclose(pipe), 0) << out;
    EXPECT_EQ(out, "");
}

TEST(StatusJson, StationInWords) {
    auto s = Station(2, "FA3");
    s.lastFailure = FailureKind::Echo;
    s.lastFailureGate = "002DR0100";
    s.lastFailureTime = 1050;
    s.failures[static_cast<std::size_t>(FailureKind::Echo)] = 2;
    s.failures[static_cast<std::size_t>(FailureKind::Nak)] = 1;
    const StatusSource source = FakeSource({s});
    const auto json = StatusJson(source, TakeView(source));
    EXPECT_EQ(json["uptime"], 60.0);
    EXPECT_EQ(json["port"]["timeout"], 1.0);
    const auto& station = json["stations"][0];
    EXPECT_EQ(station["failuresTotal"], 3);
    EXPECT_EQ(station["lastFailure"]["text"], "echo mismatch");
    EXPECT_EQ(station["lastFailure"]["gate"], "002DR0100");
    EXPECT_EQ(station["blockCheck"], "learning");
    EXPECT_EQ(json["frontEnds"]["modbus"]["requests"]["3"], 2);
}

TEST(HttpAddress, Forms) {
    const struct {
        const char* text;
        bool ok;
        const char* host;
        int port;
    } cases[] = {
        {"8080", true, "127.0.0.1", 8080},     {"0.0.0.0:9100", true, "0.0.0.0", 9100},
        {"[::1]:9100", true, "::1", 9100},      {"localhost:0", true, "localhost", 0},
        {":9100", false, "", 0},                {"host:", false, "", 0},
        {"65536", false, "", 0},                {"80a", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string host, error;
        int port = -1;
        EXPECT_EQ(ParseHttpAddress(c.text, host, port, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else {
            EXPECT_NE(error, "") << c.text;
        }
    }
}

TEST(HttpServer, AnswersGetOnItsPathsOnly) {
    HttpServer server(FakeSource({Station(1, "FA2")}));
    std::string error;
    ASSERT_TRUE(server.Listen("127.0.0.1:0", error)) << error;
    server.Start();
    httplib::Client client("127.0.0.1", server.Port());
    const struct {
        const char* method;
        const char* path;
        int status;
        const char* type;
    } cases[] = {
        {"GET", "/metrics", 200, "text/plain; version=0.0.4"},
        {"GET", "/api/status", 200, "application/json"},
        {"GET", "/", 200, "text/html"},
        {"GET", "/index.html", 404, ""},
        {"GET", "/metrics/x", 404, ""},
        {"POST", "/metrics", 405, ""},
        {"PUT", "/api/status", 405, ""},
        {"DELETE", "/", 405, ""},
    };
    for (const auto& c : cases) {
        const std::string method = c.method;
        auto result = method == "GET"    ? client.Get(c.path)
                      : method == "POST" ? client.Post(c.path, "x", "text/plain")
                      : method == "PUT"  ? client.Put(c.path, "x", "text/plain")
                                         : client.Delete(c.path);
        ASSERT_TRUE(result) << c.method << " " << c.path;
        EXPECT_EQ(result->status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(result->get_header_value("Content-Type").rfind(c.type, 0), 0u) << c.method << " " << c.path;
    }
    EXPECT_NE(client.Get("/")->body.find("/api/status"), std::string::npos);
    server.Stop();
}

}  // namespace
