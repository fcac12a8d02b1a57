// Every exchange kind of the driver against the line's bound and against a
// bare client, on one simulated line paced at 9600 baud 8E1.
//
// The simulator (fasim) runs in this process on a pseudo-terminal. The driver
// (through QelMain) and the bare client (plain system calls on their own
// descriptor of the same pty) take turns, exchange by exchange, so that both
// see the same line and the same load. The bound of an exchange is the time
// of its characters on the line plus the purge before each frame sent:
//
//   bound = characters x 11 / 9600 s + 20 ms x frames sent
//
// The characters are counted from the simulator's trace of one exchange: the
// frames the master sends (on a 2-wire line their echo is the same characters
// on the wire), the Acks and replies, and the characters that trail a block of
// data (checksum and CR), which the next purge takes off the line (or, for
// one QEL_READ_ATTEMPT, the attempt itself, whose quiet the next purge counts).
//
// Usage: exchange_bound [ROUNDS]   (default 20; the blocks of 100 take a third)
// Prints one Markdown table. Times are medians; the CPU ratio is that of the
// median CPU time of the calling thread (the simulator runs on its own).
// EXCHANGE_BOUND_SAMPLES=1 in the environment lists every sample on stderr.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fasim.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"
#include "vuzorur.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kCharacterMs = 11.0 * 1000.0 / 9600.0;
constexpr double kPurgeMs = 20.0;

// ---------------------------------------------------------------- bare client
// The same exchange in plain system calls: purge until 20 ms of quiet, send
// the frame, read its echo, read the reply.
class BareClient {
public:
    explicit BareClient(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios tio{};
        if (fd_ < 0 || tcgetattr(fd_, &tio) != 0) return;
        cfmakeraw(&tio);
        cfsetspeed(&tio, B9600);
        tio.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
        (void)tcsetattr(fd_, TCSANOW, &tio);  // a pty keeps its own parity
    }
    ~BareClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    BareClient(const BareClient&) = delete;
    BareClient& operator=(const BareClient&) = delete;
    bool Ok() const { return fd_ >= 0; }

    bool Exchange(const std::string& frame, std::size_t replyLength) {
        char buffer[3000];
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, 20) > 0 && ::read(fd_, buffer, sizeof buffer) > 0) {
        }
        if (::write(fd_, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return false;
        return Receive(buffer, frame.size()) && std::memcmp(buffer, frame.data(), frame.size()) == 0 &&
               Receive(buffer, replyLength);
    }

private:
    bool Receive(char* buffer, std::size_t count) {
        std::size_t got = 0;
        while (got < count) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;
            const ssize_t n = ::read(fd_, buffer + got, count - got);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }
    int fd_;
};

// ------------------------------------------------------------ exchange kinds
struct Kind {
    const char* name;
    const char* gas;
    std::uint32_t station;
    std::uint32_t area;
    std::uint32_t element;
    std::int32_t count;
    std::int32_t dataType;
    bool write;
    std::uint16_t value;
    bool select;             // the station is selected anew before each exchange
    std::size_t trailing;    // characters after the data that the driver leaves to the next purge
    bool block;              // a block of 100: a third of the rounds
    bool attempt;            // one QEL_READ_ATTEMPT, which takes the trailing characters itself
};

constexpr std::array kKinds{
    Kind{"FA2 read, selected", "001DR0010", 1, AREA_DR, 10, 1, DATA_TYPE_WORD, false, 0, false, 0, false, false},
    Kind{"FA2 read with selection", "001DR0010", 1, AREA_DR, 10, 1, DATA_TYPE_WORD, false, 0, true, 0, false, false},
    Kind{"FA2 DR block of 100", "001DR0010", 1, AREA_DR, 10, 100, DATA_TYPE_WORD, false, 0, false, 3, true, false},
    Kind{"FA3 DR read (one word)", "002DR0010", 2, AREA_DR, 10, 1, DATA_TYPE_WORD, false, 0, false, 3, false, false},
    Kind{"FA3 DR block of 100", "002DR0010", 2, AREA_DR, 10, 100, DATA_TYPE_WORD, false, 0, false, 3, true, false},
    Kind{"FA3 IO read (16 bits)", "002IO0000", 2, AREA_IO, 0, 16, DATA_TYPE_BIT, false, 0, false, 3, false, false},
    Kind{"FA3 DR block of 100, one attempt", "002DR0010", 2, AREA_DR, 10, 100, DATA_TYPE_WORD, false, 0, false, 0, true, true},
    Kind{"FA3 IO read (16 bits), one attempt", "002IO0000", 2, AREA_IO, 0, 16, DATA_TYPE_BIT, false, 0, false, 0, false, true},
    Kind{"FA2 DR write", "001DR0020", 1, AREA_DR, 20, 1, DATA_TYPE_WORD, true, 4321, false, 0, false, false},
    Kind{"FA3 DR write", "002DR0030", 2, AREA_DR, 30, 1, DATA_TYPE_WORD, true, 0x1234, false, 0, false, false},
    Kind{"FA2 bit write", "001IO0003", 1, AREA_IO, 3, 1, DATA_TYPE_BIT, true, 1, false, 0, false, false},
};

// One exchange as the simulator saw it: each master frame with the length of
// the answer the master reads, the characters on the line, the frames sent.
struct Script {
    std::vector<std::pair<std::string, std::size_t>> steps;
    std::size_t characters = 0;
    std::size_t frames = 0;
};

Script FromTrace(const std::vector<fasim::TraceRecord>& trace, std::size_t trailing) {
    Script script;
    for (const auto& record : trace) {
        script.characters += record.bytes.size();
        if (record.fromMaster) {
            script.steps.emplace_back(record.bytes, 0);
            ++script.frames;
        } else if (!script.steps.empty()) {
            script.steps.back().second += record.bytes.size();
        }
    }
    if (!script.steps.empty()) script.steps.back().second -= std::min(trailing, script.steps.back().second);
    return script;
}

std::vector<std::string> MasterFrames(const std::vector<fasim::TraceRecord>& trace) {
    std::vector<std::string> frames;
    for (const auto& record : trace) {
        if (record.fromMaster) frames.push_back(record.bytes);
    }
    return frames;
}

// ------------------------------------------------------------------- timing
struct Sample {
    double wallMs;
    double cpuUs;
};

double ThreadCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

template <typename Run>
Sample Timed(Run&& run, bool& ok) {
    const double cpu = ThreadCpuUs();
    const auto start = Clock::now();
    ok = run() && ok;
    const std::chrono::duration<double, std::milli> wall = Clock::now() - start;
    return {wall.count(), ThreadCpuUs() - cpu};
}

double Median(const std::vector<Sample>& samples, double Sample::*field) {
    std::vector<double> values;
    for (const auto& s : samples) values.push_back(s.*field);
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 20;
    testsupport::LogCapture log;

    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA3}};
    options.line.paced = true;  // 9600 baud 8E1: 11 bits a character
    fasim::Simulator sim(options);
    const std::string link = testsupport::ShortLinkPath();
    std::string error;
    if (!sim.StartPty(link, &error)) {
        std::fprintf(stderr, "exchange_bound: the simulator did not start: %s\n", error.c_str());
        return 1;
    }
    for (unsigned i = 0; i < 110; ++i) {
        sim.Set(1, "DR", i, static_cast<std::uint16_t>(1000 + i));
        sim.Set(2, "DR", i, static_cast<std::uint16_t>(2000 + i));
    }

    // The bare client opens the pty before the driver takes it for itself.
    BareClient bare(link);
    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor(link);
    QelRequest init{&workspace, QEL_INIT, 1, 0, &setup};
    if (!bare.Ok() || QelMain(&init) != 0) {
        std::fprintf(stderr, "exchange_bound: cannot open %s\n", link.c_str());
        return 1;
    }
    std::memcpy(workspace.stationModel[2], "FA3", 4);

    std::printf("| exchange | chars | frames | bound ms | driver ms | bare ms | driver/bound | driver/bare | "
                "CPU driver/bare |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<std::string> misses;
    for (const Kind& kind : kKinds) {
        std::array<std::uint16_t, 101> values{};
        GateTransfer transfer{};
        transfer.gas = kind.gas;
        transfer.station = kind.station;
        transfer.areaCode = kind.area;
        transfer.element = kind.element;
        transfer.dataType = kind.dataType;
        transfer.count = kind.count;
        transfer.values = values.data();
        QelAttempt attempt{};
        attempt.transfer = &transfer;
        const std::int32_t operation = kind.attempt ? QEL_READ_ATTEMPT
                                       : kind.write ? QEL_WRITE
                                       : kind.count > 1 ? QEL_READ_BLOCK
                                                        : QEL_READ;
        QelRequest request{&workspace, operation, 1, 0, kind.attempt ? static_cast<void*>(&attempt) : &transfer};
        auto driver = [&] {
            values[1] = kind.value;
            if (kind.select) workspace.lastStation = NO_STATION;
            return QelMain(&request) == 0;
        };

        // One exchange to select the station, one traced for its script.
        const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(60)); };
        bool ok = driver();
        settle();
        sim.ClearTrace();
        ok = driver() && ok;
        settle();
        const auto driverTrace = sim.Trace();
        const Script script = FromTrace(driverTrace, kind.trailing);
        auto bareRun = [&] {
            bool all = true;
            for (const auto& [frame, reply] : script.steps) all = bare.Exchange(frame, reply) && all;
            return all;
        };
        sim.ClearTrace();
        ok = bareRun() && ok;
        settle();
        if (!ok || MasterFrames(sim.Trace()) != MasterFrames(driverTrace)) {
            std::fprintf(stderr, "exchange_bound: %s: the driver and the bare client differ or fail\n", kind.name);
            return 1;
        }

        // The line as every timed exchange finds it: what trailed the last one
        // still on its way.
        ok = driver() && ok;
        const int n = kind.block ? std::max(3, rounds / 3) : rounds;
        std::vector<Sample> driverSamples, bareSamples;
        for (int round = 0; round < n; ++round) {
            if (round % 2 == 0) {
                driverSamples.push_back(Timed(driver, ok));
                bareSamples.push_back(Timed(bareRun, ok));
            } else {
                bareSamples.push_back(Timed(bareRun, ok));
                driverSamples.push_back(Timed(driver, ok));
            }
        }
        if (!ok) {
            std::fprintf(stderr, "exchange_bound: %s: an exchange failed\n", kind.name);
            return 1;
        }

        const double bound =
            static_cast<double>(script.characters) * kCharacterMs + kPurgeMs * static_cast<double>(script.frames);
        const double driverMs = Median(driverSamples, &Sample::wallMs);
        const double bareMs = Median(bareSamples, &Sample::wallMs);
        const double cpuRatio = Median(driverSamples, &Sample::cpuUs) / Median(bareSamples, &Sample::cpuUs);
        std::printf("| %s | %zu | %zu | %.2f | %.2f | %.2f | %.3f | %.3f | %.2f |\n", kind.name, script.characters,
                    script.frames, bound, driverMs, bareMs, driverMs / bound, driverMs / bareMs, cpuRatio);
        std::fflush(stdout);
        if (std::getenv("EXCHANGE_BOUND_SAMPLES") != nullptr) {
            for (std::size_t i = 0; i < driverSamples.size(); ++i) {
                std::fprintf(stderr, "  driver %.2f ms %.0f us, bare %.2f ms %.0f us\n", driverSamples[i].wallMs,
                             driverSamples[i].cpuUs, bareSamples[i].wallMs, bareSamples[i].cpuUs);
            }
        }
        if (driverMs / bound > 1.10) misses.push_back(std::string(kind.name) + ": driver/bound above 1.10");
        if (driverMs / bareMs > 1.02) misses.push_back(std::string(kind.name) + ": driver/bare above 1.02");
        if (cpuRatio > 1.5) misses.push_back(std::string(kind.name) + ": CPU driver/bare above 1.5");
    }

    QelRequest close{&workspace, QEL_CLOSE, 1, 0, nullptr};
    QelMain(&close);
    std::printf("\n%d rounds (blocks of 100: %d), driver and bare client alternating.\n", rounds,
                std::max(3, rounds / 3));
    if (misses.empty()) std::printf("Every goal met: driver/bound <= 1.10, driver/bare <= 1.02, CPU <= 1.5.\n");
    for (const auto& miss : misses) std::printf("Missed: %s\n", miss.c_str());
    return 0;
}
