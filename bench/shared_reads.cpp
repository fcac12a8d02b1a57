// Shared reads through qelgate against fasim paced at 9600 baud (not a
// test: it prints the table of docs/performance.md). Modbus clients
// (libmodbus) read station 1 back to back: 1, 2, 4 and 8 clients on DR
// 100..119, 4 clients on overlapping ranges, and 4 clients beside the MQTT
// publisher (a real mosquitto) publishing the same block; each with
// --max-age 0 and with --poll (the block every 0.5 s) and --max-age 1000.
// Meanwhile DR 115 counts up every 10 ms in fasim, and each answer that
// holds it is checked: never older than its request (--max-age 0), never a
// value replaced more than the max age before its request (the image).
//
//   shared_reads [--seconds S]   (default 8 per case)
#include <httplib.h>
#include <modbus/modbus.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gate_rig.h"

namespace {

using gaterig::Clock;
using gaterig::Seconds;

constexpr unsigned kCounted = 115;  // the element that counts up
constexpr int kMaxAgeMs = 1000;
constexpr std::size_t kHistory = 1 << 20;

// DR 115 counting up in fasim every 10 ms; when each value stopped being current.
struct Counter {
    fasim::Simulator& sim;
    std::atomic<std::uint32_t> current{0};
    std::vector<std::atomic<long long>> replacedAt = std::vector<std::atomic<long long>>(kHistory);  // ns, 0: not yet
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit Counter(fasim::Simulator& s) : sim(s) {
        thread = std::thread([this] {
            std::uint32_t v = 0;
            while (!stop.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                ++v;
                sim.Set(1, "DR", kCounted, static_cast<std::uint16_t>(v));
                replacedAt[(v - 1) % kHistory].store(Clock::now().time_since_epoch().count());
                current.store(v);
            }
        });
    }
    ~Counter() {
        stop.store(true);
        thread.join();
    }
};

struct Range {
    int first;
    int count;
};

struct CaseResult {
    std::string name;
    int clients = 0;
    double seconds = 0;
    std::vector<long> answers;  // per client
    std::vector<double> times;  // every answer, seconds
    long stale = 0;
    long failed = 0;
    double exchanges = 0, requests = 0, shared = 0, image = 0;
};

double Metric(const std::string& text, const std::string& name) {
    const auto at = text.find("\n" + name + " ");
    if (at == std::string::npos) return 0;
    return std::atof(text.c_str() + at + name.size() + 2);
}

double StationRequests(const std::string& text) {
    const auto at = text.find("\nqelgate_station_requests_total{station=\"1\"");
    if (at == std::string::npos) return 0;
    const auto space = text.find("} ", at);
    return std::atof(text.c_str() + space + 2);
}

std::string Scrape(int httpPort) {
    httplib::Client client("127.0.0.1", httpPort);
    client.set_read_timeout(5, 0);
    const auto response = client.Get("/metrics");
    return response ? response->body : std::string();
}

CaseResult RunCase(const std::string& name, const gaterig::Gate& gate, int httpPort, Counter& counter,
                   const std::vector<Range>& ranges, double seconds, int maxAgeMs) {
    CaseResult result;
    result.name = name;
    result.clients = static_cast<int>(ranges.size());
    result.answers.assign(ranges.size(), 0);
    std::vector<std::vector<double>> times(ranges.size());
    std::atomic<long> stale{0}, failed{0};
    std::vector<modbus_t*> clients;
    for (std::size_t k = 0; k < ranges.size(); ++k) clients.push_back(gate.Client(1));
    const std::string before = Scrape(httpPort);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        threads.emplace_back([&, k] {
            const Range r = ranges[k];
            std::uint16_t values[125];
            while (Clock::now() < end) {
                const std::uint32_t asked = counter.current.load();
                const auto sent = Clock::now();
                if (modbus_read_registers(clients[k], r.first, r.count, values) != r.count) {
                    ++failed;
                    continue;
                }
                times[k].push_back(Seconds(Clock::now() - sent));
                ++result.answers[k];
                if (static_cast<int>(kCounted) < r.first || static_cast<int>(kCounted) >= r.first + r.count) continue;
                // The value's 16 bits against the count: the count never wraps within a run.
                const std::uint32_t got = values[kCounted - static_cast<unsigned>(r.first)];
                if (maxAgeMs == 0) {
                    if (got < (asked & 0xFFFF)) ++stale;
                } else {
                    // Replaced more than the max age before the request was sent.
                    const long long replaced = got == 0 ? 0 : counter.replacedAt[got % kHistory].load();
                    const long long limit =
                        (sent - std::chrono::milliseconds(maxAgeMs)).time_since_epoch().count();
                    if (replaced != 0 && got < counter.current.load() && replaced < limit) ++stale;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    result.seconds = Seconds(Clock::now() - start);
    const std::string after = Scrape(httpPort);
    for (modbus_t* ctx : clients) gaterig::Free(ctx);
    for (const auto& list : times) result.times.insert(result.times.end(), list.begin(), list.end());
    std::sort(result.times.begin(), result.times.end());
    result.stale = stale.load();
    result.failed = failed.load();
    result.exchanges = Metric(after, "qelgate_line_exchanges_total") - Metric(before, "qelgate_line_exchanges_total");
    result.requests = StationRequests(after) - StationRequests(before);
    result.shared =
        Metric(after, "qelgate_line_shared_requests_total") - Metric(before, "qelgate_line_shared_requests_total");
    result.image =
        Metric(after, "qelgate_line_image_requests_total") - Metric(before, "qelgate_line_image_requests_total");
    return result;
}

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p / 100 * static_cast<double>(sorted.size())))];
}

// A mosquitto of our own on a free port; stopped when it goes.
struct Broker {
    int port = testsupport::FreeLoopbackPort();
    pid_t pid = 0;
    std::string conf;
    explicit Broker(const std::string& dir) {
        conf = dir + "/mosquitto.conf";
        std::ofstream(conf) << "listener " << port << " 127.0.0.1\nallow_anonymous true\nlog_dest none\n";
        std::vector<std::string> args = {"/usr/sbin/mosquitto", "-c", conf};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ~Broker() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = 8;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[++i]);
    char dirTemplate[] = "/tmp/shared-reads-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);
    const std::string poll = dir + "/poll.txt";
    std::ofstream(poll) << "001DR0100 20 0.5s\n";
    std::ofstream(dir + "/publish.txt") << "001DR0100 20 0.5s\n";
    Broker broker(dir);

    const std::vector<Range> block = {{100, 20}};
    const std::vector<Range> overlapping = {{100, 20}, {105, 10}, {110, 20}, {115, 5}};
    std::vector<CaseResult> results;
    for (const bool image : {false, true}) {
        for (const bool mqtt : {false, true}) {
            // At most 11 characters for the driver.
            const std::string link = "/tmp/s" + std::to_string(getpid() % 1000) + (image ? "i" : "l") +
                                     (mqtt ? "m" : "");
            fasim::Options options;
            options.stations = {{1, fasim::Model::FA2}};
            auto sim = gaterig::StartLine(link, options, "shared_reads");
            if (!sim) return 1;
            const int httpPort = testsupport::FreeLoopbackPort();
            std::vector<std::string> extra = {"--http", std::to_string(httpPort)};
            if (image) extra.insert(extra.end(), {"--poll", poll, "--max-age", std::to_string(kMaxAgeMs)});
            if (mqtt)
                extra.insert(extra.end(), {"--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker.port), "--publish",
                                           dir + "/publish.txt"});
            gaterig::Gate gate(link, extra);
            Counter counter(*sim);
            {
                modbus_t* warm = gate.Client(1);  // connected: qelgate is up; the line's time-outs learned
                std::uint16_t values[20];
                for (int i = 0; i < 10; ++i) modbus_read_registers(warm, 100, 20, values);
                gaterig::Free(warm);
            }
            const std::string tag = image ? " (image)" : "";
            const int age = image ? kMaxAgeMs : 0;
            if (!mqtt) {
                for (const int n : {1, 2, 4, 8}) {
                    std::vector<Range> ranges(static_cast<std::size_t>(n), block.front());
                    results.push_back(RunCase(std::to_string(n) + " on DR 100..119" + tag, gate, httpPort, counter,
                                              ranges, seconds, age));
                }
                results.push_back(RunCase("4 on overlapping ranges" + tag, gate, httpPort, counter, overlapping,
                                          seconds, age));
            } else {
                results.push_back(RunCase("MQTT + 4 on DR 100..119" + tag, gate, httpPort, counter,
                                          std::vector<Range>(4, block.front()), seconds, age));
            }
        }
    }

    const CaseResult& alone = results.front();
    const double aloneRate = static_cast<double>(alone.answers.front()) / alone.seconds;
    std::printf("one client alone on the line: %.2f reads/s, median %.1f ms\n\n", aloneRate,
                Percentile(alone.times, 50) * 1000);
    std::printf("| case | reads/s per client (x alone) | slowest client (x alone) | median | p99 | line exchanges "
                "per answer | shared | from image | stale | failed |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const CaseResult& r : results) {
        long total = 0, fewest = r.answers.empty() ? 0 : r.answers.front();
        for (const long a : r.answers) {
            total += a;
            fewest = std::min(fewest, a);
        }
        const double each = static_cast<double>(total) / r.clients / r.seconds;
        const double slowest = static_cast<double>(fewest) / r.seconds;
        std::printf("| %s | %.2f (%.2fx) | %.2f (%.2fx) | %.1f ms | %.1f ms | %.2f | %.0f | %.0f | %ld | %ld |\n",
                    r.name.c_str(), each, each / aloneRate, slowest, slowest / aloneRate,
                    Percentile(r.times, 50) * 1000, Percentile(r.times, 99) * 1000,
                    r.requests > 0 ? r.exchanges / r.requests : 0, r.shared, r.image, r.stale, r.failed);
    }
    std::remove(poll.c_str());
    std::remove((dir + "/publish.txt").c_str());
    std::remove((dir + "/mosquitto.conf").c_str());
    rmdir(dir.c_str());
    return 0;
}
