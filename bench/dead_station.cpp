// What an absent station costs a live one through qelgate, against fasim
// paced at 9600 baud. Client A reads a live station every 100 ms; client B
// reads an absent station once a second. A's reads per second and latency
// are measured without B, then with B, in one run; then B's station comes
// back and the time until it is served again is taken.
//
//   dead_station [--seconds S] [--driver-retries]
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fasim.h"
#include "support/pty_pair.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    close(s);
    return ntohs(address.sin_port);
}

modbus_t* Client(int port, int unit) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    for (int i = 0; i < 100 && modbus_connect(ctx) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    modbus_set_slave(ctx, unit);
    modbus_set_response_timeout(ctx, 20, 0);
    return ctx;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Run {
    double readsPerSecond = 0, median = 0, p99 = 0, worst = 0;
    int failures = 0;
};

// Client A: a read every 100 ms (or back to back when one took longer).
Run ClientA(modbus_t* ctx, double seconds) {
    std::vector<double> latencies;
    Run run;
    const auto start = Clock::now();
    auto next = start;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(100);
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

}  // namespace

int main(int argc, char** argv) {
    double seconds = 20;
    bool driverRetries = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
        if (std::strcmp(argv[i], "--driver-retries") == 0) driverRetries = true;
    }
    const std::string link = testsupport::ShortLinkPath();
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}, {5, fasim::Model::FA2}};
    options.silentStations = {5};
    fasim::Simulator sim(options);  // paced at 9600 8E1 by default
    std::string error;
    if (!sim.StartPty(link, &error)) {
        std::fprintf(stderr, "dead_station: %s\n", error.c_str());
        return 1;
    }
    sim.SetSilent(5, true);

    const int port = FreePort();
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    std::vector<const char*> gateArgs = {QELGATE_PATH, "--port", link.c_str(), "--listen", listen.c_str(),
                                         "--driver", DRIVER_PATH};
    if (driverRetries) gateArgs.push_back("--driver-retries");
    gateArgs.push_back(nullptr);
    pid_t gatePid = 0;
    if (posix_spawn(&gatePid, QELGATE_PATH, nullptr, nullptr, const_cast<char**>(gateArgs.data()), environ) != 0)
        return 1;
    modbus_t* a = Client(port, 1);
    modbus_t* b = Client(port, 5);

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

    modbus_close(a);
    modbus_free(a);
    modbus_close(b);
    modbus_free(b);
    kill(gatePid, SIGTERM);
    waitpid(gatePid, nullptr, 0);
    return 0;
}
