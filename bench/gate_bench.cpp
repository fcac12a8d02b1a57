// Modbus requests per second through qelgate against fasim paced at 9600
// baud, beside the same exchange made directly through QelMain, in one run:
// the two sides take turns on two identical simulated lines, and the ratio
// says how much line time the gateway adds.
//
//   gate_bench [--rounds N] [--seconds S]
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver_library.h"
#include "fasim.h"
#include "kestan.h"
#include "qel_session.h"
#include "support/free_port.h"
#include "support/pty_pair.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::unique_ptr<fasim::Simulator> PacedLine(const std::string& link) {
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}};
    auto sim = std::make_unique<fasim::Simulator>(options);  // paced at 9600 8E1 by default
    std::string error;
    if (!sim->StartPty(link, &error)) {
        std::fprintf(stderr, "gate_bench: %s\n", error.c_str());
        std::exit(1);
    }
    for (unsigned n = 0; n < 100; ++n) sim->Set(1, "DR", n, static_cast<std::uint16_t>(n * 7));
    return sim;
}

struct Side {
    long requests = 0;
    double seconds = 0;
    double Rate() const { return seconds > 0 ? static_cast<double>(requests) / seconds : 0; }
};

// Repeats one exchange for about `seconds`; false on a failed exchange.
template <typename Exchange>
bool Measure(Side& side, double seconds, Exchange exchange) {
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    do {
        if (!exchange()) return false;
        ++side.requests;
    } while (Clock::now() < end);
    side.seconds += std::chrono::duration<double>(Clock::now() - start).count();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    double seconds = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    }
    KestanLogToFile("/dev/null");
    const std::string gateLink = testsupport::ShortLinkPath(), directLink = testsupport::ShortLinkPath();
    auto gateLine = PacedLine(gateLink);
    auto directLine = PacedLine(directLink);

    // The gateway on one line, as a separate process.
    const std::string port = std::to_string(testsupport::FreeLoopbackPort());
    const std::string listen = "127.0.0.1:" + port;
    const char* gateArgs[] = {QELGATE_PATH, "--port", gateLink.c_str(), "--listen", listen.c_str(), nullptr};
    pid_t gatePid = 0;
    if (posix_spawn(&gatePid, QELGATE_PATH, nullptr, nullptr, const_cast<char**>(gateArgs), environ) != 0) return 1;
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", std::atoi(port.c_str()));
    for (int i = 0; i < 100 && modbus_connect(ctx) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 10, 0);

    // The direct session on the other.
    qelhost::DriverLibrary driver;
    std::string error;
    if (!driver.Load(DRIVER_PATH, error)) {
        std::fprintf(stderr, "gate_bench: %s\n", error.c_str());
        return 1;
    }
    qelhost::QelSession session(driver);
    qelhost::LineOptions line;
    line.port = directLink;
    if (session.Init(line) != 0) return 1;

    std::printf("| exchange | direct (QelMain) req/s | through qelgate req/s | gateway / direct | line time added |\n");
    std::printf("|---|---|---|---|---|\n");
    int failed = 0;
    for (const int count : {100, 1}) {
        qelhost::Gate gate;
        gate.gas = "001DR0000";
        gate.count = count;
        session.Check(gate);
        std::vector<std::uint16_t> values;
        std::uint16_t registers[125];
        Side direct, gateway;
        for (int round = 0; round < rounds; ++round) {
            const bool ok =
                Measure(direct, seconds, [&] { return session.Read(gate, values) == 0; }) &&
                Measure(gateway, seconds, [&] { return modbus_read_registers(ctx, 0, count, registers) == count; });
            if (!ok) {
                std::fprintf(stderr, "gate_bench: an exchange failed in round %d\n", round);
                failed = 1;
            }
        }
        const double ratio = gateway.Rate() / direct.Rate();
        std::printf("| %d register%s | %.2f | %.2f | %.4f | %+.2f %% |\n", count, count == 1 ? "" : "s", direct.Rate(),
                    gateway.Rate(), ratio, (1 / ratio - 1) * 100);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    kill(gatePid, SIGTERM);
    waitpid(gatePid, nullptr, 0);
    session.Close();
    return failed;
}
