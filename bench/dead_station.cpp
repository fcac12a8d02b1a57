// What an absent station costs a live one through qelgate, against fasim
// paced at 9600 baud. Client A reads a live station every 100 ms; client B
// reads an absent station once a second. A's reads per second and latency
// are measured without B, then with B, in one run; then B's station comes
// back and the time until it is served again is taken.
//
// --slow-clients measures the front door instead, against fasim unpaced: A
// reads station 1 every 50 ms, alone and then beside 3 clients that send a
// valid request a byte every 150 ms and 3 that send requests and never read
// their replies.
//
//   dead_station [--seconds S] [--driver-retries] [--slow-clients]
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fasim.h"
#include "gate_rig.h"
#include "support/pty_pair.h"

namespace {

using gaterig::Clock;
using gaterig::Seconds;

struct Run {
    double readsPerSecond = 0, median = 0, p99 = 0, worst = 0;
    int failures = 0;
};

// Client A: a read every `period` (or back to back when one took longer).
Run ClientA(modbus_t* ctx, double seconds, std::chrono::milliseconds period = std::chrono::milliseconds(100)) {
    std::vector<double> latencies;
    Run run;
    const auto start = Clock::now();
    auto next = start;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        std::this_thread::sleep_until(next);
        next += period;
        std::uint16_t value = 0;
        const auto began = Clock::now();
        if (modbus_read_registers(ctx, 0, 1, &value) != 1) ++run.failures;
        latencies.push_back(Seconds(Clock::now() - began));
        if (Clock::now() > next) next = Clock::now();
    }
    std::sort(latencies.begin(), latencies.end());
    run.readsPerSecond = static_cast<double>(latencies.size()) / Seconds(Clock::now() - start);
    run.median = latencies[latencies.size() / 2];
    run.p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    run.worst = latencies.back();
    return run;
}

// A connected raw socket to the gateway, or -1.
int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

// Read holding register 0 of unit 1, transaction `id`.
std::vector<std::uint8_t> ReadRequest(std::uint16_t id) {
    return {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0, 0, 0, 6, 1, 3, 0, 0, 0, 1};
}

int SlowClients(double seconds) {
    const std::string link = testsupport::ShortLinkPath();
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}};
    options.line.paced = false;
    const auto line = gaterig::StartLine(link, options, "dead_station");
    if (!line) return 1;
    gaterig::Gate gate(link);
    if (!gate.Running()) return 1;
    modbus_t* a = gate.Client(1);
    const auto period = std::chrono::milliseconds(50);
    const Run alone = ClientA(a, seconds, period);

    std::atomic<bool> stop{false};
    std::atomic<long> trickled{0}, unread{0}, closed{0};
    std::vector<std::thread> others;
    // A request a byte every 150 ms, then its reply; again.
    for (int n = 0; n < 3; ++n) others.emplace_back([&] {
        int fd = -1;
        for (std::uint16_t id = 0; !stop.load(); ++id) {
            if (fd < 0 && (fd = Connect(gate.Port())) < 0) break;
            const std::vector<std::uint8_t> request = ReadRequest(id);
            bool sent = true;
            for (std::size_t i = 0; i < request.size() && sent && !stop.load(); ++i) {
                sent = send(fd, &request[i], 1, MSG_NOSIGNAL) == 1;
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
            }
            std::uint8_t reply[64];
            if (!sent || recv(fd, reply, sizeof reply, 0) <= 0) {
                close(fd);
                fd = -1;
                continue;
            }
            ++trickled;
        }
        if (fd >= 0) close(fd);
    });
    // Requests sent as fast as the socket takes them, replies never read,
    // until the gateway closes the connection.
    for (int n = 0; n < 3; ++n) others.emplace_back([&] {
        const int fd = Connect(gate.Port());
        const timeval wait{0, 100000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        std::vector<std::uint8_t> pending;
        for (std::uint16_t id = 0; fd >= 0 && !stop.load();) {
            if (pending.empty()) pending = ReadRequest(id++);
            const ssize_t sent = send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                pending.erase(pending.begin(), pending.begin() + sent);
                unread += pending.empty() ? 1 : 0;
            } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                ++closed;
                break;
            }
        }
        if (fd >= 0) close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Run with = ClientA(a, seconds, period);
    stop.store(true);
    for (std::thread& t : others) t.join();

    std::printf("qelgate, fasim unpaced, client A reads unit 1 every 50 ms, %.0f s per run\n", seconds);
    std::printf("| client A | alone | beside 3 byte-a-150-ms and 3 never-reading clients | ratio |\n|---|---|---|---|\n");
    std::printf("| reads made | %.0f | %.0f | %.3f |\n", alone.readsPerSecond * seconds, with.readsPerSecond * seconds,
                with.readsPerSecond / alone.readsPerSecond);
    std::printf("| median latency (ms) | %.2f | %.2f | %.2f |\n", alone.median * 1000, with.median * 1000,
                with.median / alone.median);
    std::printf("| p99 latency (ms) | %.2f | %.2f | %.2f |\n", alone.p99 * 1000, with.p99 * 1000, with.p99 / alone.p99);
    std::printf("| slowest read (ms) | %.2f | %.2f | |\n", alone.worst * 1000, with.worst * 1000);
    std::printf("| failed reads | %d | %d | |\n", alone.failures, with.failures);
    std::printf("meanwhile: %ld trickled requests answered; %ld requests sent by the never-reading clients, %ld "
                "of which the gateway closed\n", trickled.load(), unread.load(), closed.load());
    gaterig::Free(a);
    const bool met = with.readsPerSecond >= 0.95 * alone.readsPerSecond && with.worst <= 0.3 && with.failures == 0;
    std::printf("goal (>= 95 %% of the reads, none over 0.3 s, none failed): %s\n", met ? "met" : "MISSED");
    return met ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 20;
    bool driverRetries = false, slowClients = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
        if (std::strcmp(argv[i], "--driver-retries") == 0) driverRetries = true;
        if (std::strcmp(argv[i], "--slow-clients") == 0) slowClients = true;
    }
    if (slowClients) return SlowClients(seconds);
    const std::string link = testsupport::ShortLinkPath();
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}, {5, fasim::Model::FA2}};
    options.silentStations = {5};
    const auto line = gaterig::StartLine(link, options, "dead_station");  // paced at 9600 8E1 by default
    if (!line) return 1;
    fasim::Simulator& sim = *line;
    sim.SetSilent(5, true);

    gaterig::Gate gate(link, driverRetries ? std::vector<std::string>{"--driver-retries"} : std::vector<std::string>{});
    if (!gate.Running()) return 1;
    modbus_t* a = gate.Client(1);
    modbus_t* b = gate.Client(5);

    const Run alone = ClientA(a, seconds);

    // B: the absent station once a second; the time of its first answer.
    std::atomic<bool> stop{false};
    std::atomic<double> firstFailure{-1};
    std::thread clientB([&] {
        bool first = true;
        while (!stop.load()) {
            const auto began = Clock::now();
            std::uint16_t value = 0;
            modbus_read_registers(b, 0, 1, &value);
            if (first) firstFailure.store(Seconds(Clock::now() - began));
            first = false;
            std::this_thread::sleep_until(began + std::chrono::seconds(1));
        }
    });
    const Run with = ClientA(a, seconds);
    stop.store(true);
    clientB.join();

    // The station comes back: how long until a read of it succeeds.
    sim.SetSilent(5, false);
    const auto back = Clock::now();
    double servedAfter = -1;
    while (Seconds(Clock::now() - back) < 30) {
        std::uint16_t value = 0;
        if (modbus_read_registers(b, 0, 1, &value) == 1) {
            servedAfter = Seconds(Clock::now() - back);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    std::printf("qelgate%s, fasim paced at 9600 8E1, %.0f s per run\n", driverRetries ? " --driver-retries" : "",
                seconds);
    std::printf("%-28s %12s %12s %8s\n", "client A", "without B", "with B", "ratio");
    std::printf("%-28s %12.2f %12.2f %8.2f\n", "reads per second", alone.readsPerSecond, with.readsPerSecond,
                with.readsPerSecond / alone.readsPerSecond);
    std::printf("%-28s %12.1f %12.1f %8.2f\n", "median latency (ms)", alone.median * 1000, with.median * 1000,
                with.median / alone.median);
    std::printf("%-28s %12.1f %12.1f %8.2f\n", "p99 latency (ms)", alone.p99 * 1000, with.p99 * 1000,
                with.p99 / alone.p99);
    std::printf("%-28s %12.1f %12.1f\n", "slowest read (ms)", alone.worst * 1000, with.worst * 1000);
    std::printf("%-28s %12d %12d\n", "failed reads", alone.failures, with.failures);
    std::printf("absent station: first failure answered in %.2f s\n", firstFailure.load());
    std::printf("station back: served again after %.2f s\n", servedAfter);

    gaterig::Free(a);
    gaterig::Free(b);
    return 0;
}
