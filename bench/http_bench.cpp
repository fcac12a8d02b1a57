// GET /metrics with 256 stations known: the time to answer, through a real
// socket, and the time to write the text alone.
//   http_bench                 the measurement
//   http_bench --serve PORT    serves six made-up stations until Ctrl-C (for
//                              looking at the status page)
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "http/http_server.h"
#include "http/metrics_text.h"

namespace {

using Clock = std::chrono::steady_clock;

double Now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

qel::session::StationStats MadeUp(unsigned station, double now) {
    qel::session::StationStats s;
    s.station = station;
    s.model = station % 3 == 0 ? "FA3" : "FA2";
    s.requests = 1000 + station;
    s.exchanges = s.requests * 2;
    s.attempts = s.exchanges + station % 7;
    s.retries = station % 7;
    s.failures[static_cast<std::size_t>(qel::session::FailureKind::Echo)] = station % 5;
    s.failures[static_cast<std::size_t>(qel::session::FailureKind::Nak)] = station % 3;
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < s.answerBuckets.size(); ++i) s.answerBuckets[i] = cumulative += i < 4 ? 400 : 2;
    s.answerCount = s.answerBuckets.back();
    s.answerSum = static_cast<double>(s.answerCount) * 0.031;
    s.answerMedian = 0.028 + station % 4 * 0.001;
    s.answerP99 = 0.061;
    s.lastSuccess = now - 0.4;
    s.stateSince = now - 3600;
    if (station % 5 != 0) {
        s.lastFailure = qel::session::FailureKind::Echo;
        s.lastFailureGate = "001DR0100";
        s.lastFailureTime = now - 95;
    }
    s.blockCheck = qel::session::BlockCheck::Checksum;
    return s;
}

qel::http::StatusSource MadeUpSource(std::vector<qel::session::StationStats> stations) {
    qel::http::StatusSource source;
    source.version = "bench";
    source.port = {"ttyUSB0", 9600, 8, "even", "1", 100};
    source.started = Now() - 9000;
    source.line = [stations] {
        qel::session::LineSnapshot snapshot;
        snapshot.line.busyShareMinute = 0.62;
        snapshot.line.exchangesPerSecond = 18.5;
        snapshot.line.queueDepth = 1;
        snapshot.line.queueDepthMax = 6;
        snapshot.stations = stations;
        return snapshot;
    };
    return source;
}

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int Measure() {
    std::vector<qel::session::StationStats> stations;
    const double now = Now();
    for (unsigned n = 0; n < 256; ++n) stations.push_back(MadeUp(n, now));
    qel::http::HttpServer server(MadeUpSource(stations));
    std::string error;
    if (!server.Listen("127.0.0.1:0", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    server.Start();
    httplib::Client client("127.0.0.1", server.Port());
    client.set_keep_alive(true);
    constexpr int kRounds = 200;
    std::vector<double> times;
    std::size_t bytes = 0;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = Clock::now();
        const auto result = client.Get("/metrics");
        times.push_back(Milliseconds(Clock::now() - start));
        if (!result || result->status != 200) {
            std::fprintf(stderr, "GET /metrics failed\n");
            return 1;
        }
        bytes = result->body.size();
    }
    server.Stop();
    std::sort(times.begin(), times.end());
    const auto source = MadeUpSource(stations);
    const auto view = qel::http::TakeView(source);
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) bytes = std::max(bytes, qel::http::MetricsText(source, view).size());
    const double text = Milliseconds(Clock::now() - start) / kRounds;
    std::printf("GET /metrics, 256 stations, %zu bytes, %d requests: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                bytes, kRounds, times[times.size() / 2], times[times.size() * 99 / 100], times.back());
    std::printf("writing the text alone: %.2f ms\n", text);
    return times[times.size() / 2] < 5.0 ? 0 : 2;
}

volatile std::sig_atomic_t stop = 0;

int Serve(const std::string& address) {
    const double now = Now();
    std::vector<qel::session::StationStats> stations;
    for (unsigned n : {1u, 2u, 3u, 4u, 7u, 12u}) stations.push_back(MadeUp(n, now));
    stations[2].state = qel::session::StationState::Down;
    stations[2].lastFailure = qel::session::FailureKind::NoAnswer;
    stations[2].lastFailureGate = "003DR0000";
    stations[2].lastFailureTime = now - 12;
    stations[2].failures[static_cast<std::size_t>(qel::session::FailureKind::NoAnswer)] = 45;
    stations[4].blockCheck = qel::session::BlockCheck::Unverified;
    stations[5].blockCheck = qel::session::BlockCheck::Learning;
    stations[5].state = qel::session::StationState::Probing;
    qel::http::HttpServer server(MadeUpSource(stations));
    std::string error;
    if (!server.Listen(address, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    server.Start();
    std::printf("serving made-up stations on %s\n", server.Url().c_str());
    std::fflush(stdout);
    std::signal(SIGINT, [](int) { stop = 1; });
    std::signal(SIGTERM, [](int) { stop = 1; });
    while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--serve") return Serve(argv[2]);
    return Measure();
}
