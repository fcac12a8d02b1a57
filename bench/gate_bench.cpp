// Modbus requests per second through qelgate against fasim paced at 9600
// baud, beside the same exchange made directly through QelMain, in one run:
// the two sides take turns on two identical simulated lines, and the ratio
// says how much line time the gateway adds. With --http a third side takes
// its turn too: a second qelgate, with --http, on a third line, its /metrics
// scraped every second meanwhile, as a Prometheus would.
//
//   gate_bench [--rounds N] [--seconds S] [--http]
#include <httplib.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "session/driver/driver_library.h"
#include "fasim.h"
#include "kestan.h"
#include "session/driver/qel_session.h"
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

// qelgate on a line, as a separate process, and a Modbus client of it.
struct Gateway {
    pid_t pid = 0;
    modbus_t* ctx = nullptr;

    Gateway(const std::string& link, const std::vector<std::string>& extra) {
        const std::string listen = "127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort());
        std::vector<std::string> words = {QELGATE_PATH, "--port", link, "--listen", listen};
        words.insert(words.end(), extra.begin(), extra.end());
        std::vector<char*> args;
        for (std::string& word : words) args.push_back(word.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid, QELGATE_PATH, nullptr, nullptr, args.data(), environ) != 0) {
            std::fprintf(stderr, "gate_bench: cannot start qelgate\n");
            std::exit(1);
        }
        ctx = modbus_new_tcp("127.0.0.1", std::atoi(listen.substr(listen.find(':') + 1).c_str()));
        for (int i = 0; i < 100 && modbus_connect(ctx) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 10, 0);
    }
    ~Gateway() {
        modbus_close(ctx);
        modbus_free(ctx);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    bool Read(int count, std::uint16_t* registers) { return modbus_read_registers(ctx, 0, count, registers) == count; }
};

}  // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    double seconds = 4;
    bool http = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--http") == 0) http = true;
        if (i + 1 >= argc) continue;
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    }
    KestanLogToFile("/dev/null");
    const std::string gateLink = testsupport::ShortLinkPath(), directLink = testsupport::ShortLinkPath();
    auto gateLine = PacedLine(gateLink);
    auto directLine = PacedLine(directLink);

    // The gateway on one line; with --http a second one, scraped, on a third.
    Gateway plain(gateLink, {});
    std::unique_ptr<fasim::Simulator> httpLine;
    std::unique_ptr<Gateway> httpGate;
    std::atomic<bool> scraping{http};
    std::atomic<long> scrapes{0}, scrapeFailures{0};
    std::thread scraper;
    if (http) {
        const std::string httpLink = testsupport::ShortLinkPath();
        httpLine = PacedLine(httpLink);
        const int httpPort = testsupport::FreeLoopbackPort();
        httpGate = std::make_unique<Gateway>(httpLink, std::vector<std::string>{"--http", std::to_string(httpPort)});
        scraper = std::thread([&, httpPort] {
            httplib::Client client("127.0.0.1", httpPort);
            while (scraping) {
                const auto answer = client.Get("/metrics");
                ++(answer && answer->status == 200 ? scrapes : scrapeFailures);
                for (int i = 0; i < 10 && scraping; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }

    // The direct session on the other.
    qel::session::DriverLibrary driver;
    std::string error;
    if (!driver.Load(DRIVER_PATH, error)) {
        std::fprintf(stderr, "gate_bench: %s\n", error.c_str());
        return 1;
    }
    qel::session::QelSession session(driver);
    qel::session::LineOptions line;
    line.port = directLink;
    if (session.Init(line) != qel::session::DriverResult::Done) return 1;

    if (http) {
        std::printf("| exchange | direct (QelMain) req/s | through qelgate req/s | gateway / direct | line time added "
                    "| qelgate --http, scraped, req/s | without / with --http |\n");
        std::printf("|---|---|---|---|---|---|---|\n");
    } else {
        std::printf("| exchange | direct (QelMain) req/s | through qelgate req/s | gateway / direct | line time added |\n");
        std::printf("|---|---|---|---|---|\n");
    }
    int failed = 0;
    for (const int count : {100, 1}) {
        qel::session::Gate gate;
        gate.gas = "001DR0000";
        gate.count = count;
        session.Check(gate);
        std::vector<std::uint16_t> values;
        std::uint16_t registers[125];
        Side direct, gateway, withHttp;
        for (int round = 0; round < rounds; ++round) {
            const bool ok =
                Measure(direct, seconds, [&] { return session.Read(gate, values) == qel::session::DriverResult::Done; }) &&
                Measure(gateway, seconds, [&] { return plain.Read(count, registers); }) &&
                (!http || Measure(withHttp, seconds, [&] { return httpGate->Read(count, registers); }));
            if (!ok) {
                std::fprintf(stderr, "gate_bench: an exchange failed in round %d\n", round);
                failed = 1;
            }
        }
        const double ratio = gateway.Rate() / direct.Rate();
        std::printf("| %d register%s | %.2f | %.2f | %.4f | %+.2f %% |", count, count == 1 ? "" : "s", direct.Rate(),
                    gateway.Rate(), ratio, (1 / ratio - 1) * 100);
        if (http) std::printf(" %.2f | %.4f |", withHttp.Rate(), gateway.Rate() / withHttp.Rate());
        std::printf("\n");
    }
    if (http) {
        scraping = false;
        scraper.join();
        std::printf("\n%ld scrapes of /metrics, %ld failed\n", scrapes.load(), scrapeFailures.load());
        if (scrapeFailures > 0 || scrapes == 0) failed = 1;
    }
    session.Close();
    return failed;
}
