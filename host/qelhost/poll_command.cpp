// `qelhost poll`: read a list of gates round after round until interrupted.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "commands.h"
#include "gate_list.h"
#include "model_directory.h"
#include "output.h"

namespace qelhost {

namespace {
std::atomic<bool> stopRequested{false};
extern "C" void RequestStop(int) { stopRequested.store(true); }
}  // namespace

int RunPoll(const CommonOptions& common, const PollOptions& options) {
    Format format{};
    ParseFormat(options.format, format);
    std::vector<Gate> gates;
    std::string error;
    if (!ReadGateList(Absolute(options.gatesFile), gates, error)) {
        std::cerr << "qelhost: " << error << "\n";
        return kExitUsage;
    }
    HostContext host;
    if (const int opened = host.Open(common); opened != 0) return opened == kExitUsage ? kExitUsage : kExitLine;
    for (Gate& gate : gates) {
        if (host.CheckGate(gate) != 0) return kExitRefused;
    }

    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    if (const std::string header = HeaderLine(format, true); !header.empty()) std::printf("%s\n", header.c_str());
    std::fflush(stdout);

    long reads = 0;
    long failures = 0;
    std::chrono::steady_clock::duration busy{};
    for (long round = 0; !stopRequested.load() && (options.rounds == 0 || round < options.rounds); ++round) {
        for (const Gate& gate : gates) {
            if (stopRequested.load()) break;
            Reading reading;
            reading.gas = gate.gas;
            reading.bits = gate.dataType == DATA_TYPE_BIT;
            const auto start = std::chrono::steady_clock::now();
            reading.result = host.session().Read(gate, reading.values);
            busy += std::chrono::steady_clock::now() - start;
            reading.time = Timestamp();
            ++reads;
            if (reading.result != 0) ++failures;
            std::printf("%s\n", FormatReading(format, reading).c_str());
            std::fflush(stdout);
        }
        if (options.rounds != 0 && round + 1 >= options.rounds) break;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.intervalMs);
        while (!stopRequested.load() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    const double meanMs =
        reads == 0 ? 0.0 : std::chrono::duration<double, std::milli>(busy).count() / static_cast<double>(reads);
    std::fprintf(stderr, "poll summary: %ld reads, %ld failures, mean %.1f ms per read\n", reads, failures, meanMs);
    return kExitOk;
}

}  // namespace qelhost
