// The fault soak through qelgate: Modbus reads of 20 to 120 holding registers
// (DR) from FA-2 station 1 and FA-3 station 2, whose memory is known, with
// fasim faulting the bytes of its replies, one fault kind at a time and a
// fresh qelgate for each kind (its stations learn their block trailers under
// the faults). Each read is a normal response with the right values, one
// with a wrong value, or an exception; 0x0B (the gateway found the station
// silent, or holds it down) apart, as the line never went silent.
//
//   gate_soak [--reads N] [--seconds S] [--paced] [--seed S] [--rate R]
//             [--kinds drop,insert,random,all]
//
// `all` faults drops, insertions and random corruption together, a third of
// the rate each. --seconds runs each kind for that long instead of N reads;
// --paced keeps fasim at 9600 baud.
//
// Exit status 1 when a kind misses its goal: no wrong normal response under
// drops and insertions, at most 1 per 1000 reads under random corruption
// (and under all three); and never a 0x0B: byte faults garble answers, they
// never silence a station, so a station held down under them would be a
// live one taken for dead.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fasim.h"
#include "gate_rig.h"
#include "support/pty_pair.h"

namespace {

struct Kind {
    const char* name;
    double fasim::FaultSettings::*rate;
    double goalPerThousand;
};
const Kind kKinds[] = {
    {"drop", &fasim::FaultSettings::dropRate, 0},
    {"insert", &fasim::FaultSettings::insertRate, 0},
    {"random", &fasim::FaultSettings::corruptRate, 1},
    {"all", nullptr, 1},  // the three at once
};
constexpr int kStations[] = {1, 2};
constexpr unsigned kRegisters[] = {400, 1000};  // DR 0-399 on an FA-2, 0-999 on an FA-3

struct Counts {
    long reads = 0, right = 0, wrong = 0, exceptions = 0, wrongValues = 0, targetFailed = 0;
    double seconds = 0;
};

Counts RunKind(fasim::Simulator& sim, const std::string& link, const Kind& kind, long reads, double seconds,
               double rate, std::mt19937_64& random) {
    fasim::FaultSettings faults;
    faults.seed = random();
    faults.faultEcho = false;
    if (kind.rate != nullptr) {
        faults.*kind.rate = rate;
    } else {
        faults.dropRate = faults.insertRate = faults.corruptRate = rate / 3;
    }
    gaterig::Gate gate(link, {"--station", "2:FA3"});
    Counts counts;
    if (!gate.Running()) return counts;
    std::vector<modbus_t*> clients;
    for (const int station : kStations) clients.push_back(gate.Client(station));
    sim.SetFaults(faults);
    const auto start = gaterig::Clock::now();
    std::uint16_t values[125];
    const auto end = start + std::chrono::duration_cast<gaterig::Clock::duration>(std::chrono::duration<double>(seconds));
    for (long n = 0; seconds > 0 ? gaterig::Clock::now() < end : n < reads; ++n) {
        const std::size_t which = random() % 2;
        const int count = 20 + static_cast<int>(random() % 101);
        const int first = static_cast<int>(random() % (kRegisters[which] - static_cast<unsigned>(count) + 1));
        ++counts.reads;
        if (modbus_read_registers(clients[which], first, count, values) != count) {
            ++counts.exceptions;
            if (errno == EMBXGTAR) ++counts.targetFailed;
            continue;
        }
        long differ = 0;
        for (int i = 0; i < count; ++i)
            differ += values[i] != sim.Get(kStations[which], "DR", static_cast<unsigned>(first + i)).value_or(0);
        counts.wrongValues += differ;
        ++(differ == 0 ? counts.right : counts.wrong);
    }
    counts.seconds = gaterig::Seconds(gaterig::Clock::now() - start);
    sim.SetFaults(fasim::FaultSettings{});
    for (modbus_t* ctx : clients) gaterig::Free(ctx);
    return counts;
}

}  // namespace

int main(int argc, char** argv) {
    long reads = 300;
    double seconds = 0;
    bool paced = false;
    unsigned long long seed = 1;
    double rate = 0.002;
    std::string kinds = "drop,insert,random";
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--paced") == 0) paced = true;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--reads") == 0) reads = std::atol(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--seed") == 0) seed = std::strtoull(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--rate") == 0) rate = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--kinds") == 0) kinds = argv[i + 1];
    }
    const std::string link = testsupport::ShortLinkPath();
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA3}};
    options.line.paced = paced;
    const auto line = gaterig::StartLine(link, options, "gate_soak");
    if (!line) return 1;
    fasim::Simulator& sim = *line;
    std::mt19937_64 random(seed);
    for (std::size_t s = 0; s < 2; ++s)
        for (unsigned n = 0; n < kRegisters[s]; ++n)
            sim.Set(kStations[s], "DR", n, static_cast<std::uint16_t>(random()));

    std::printf("qelgate, fasim %s, %.4f faults per reply byte, seed %llu, %s per kind\n",
                paced ? "paced at 9600" : "unpaced", rate, seed,
                seconds > 0 ? (std::to_string(seconds) + " s").c_str() : (std::to_string(reads) + " reads").c_str());
    std::printf("| fault | reads | right | wrong normal responses | wrong values | exceptions | of them 0x0B | seconds | goal |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    int status = 0;
    for (const Kind& kind : kKinds) {
        if (("," + kinds + ",").find(std::string(",") + kind.name + ",") == std::string::npos) continue;
        const Counts c = RunKind(sim, link, kind, reads, seconds, rate, random);
        const bool met = c.reads > 0 && c.targetFailed == 0 &&
                         static_cast<double>(c.wrong) * 1000 <= kind.goalPerThousand * static_cast<double>(c.reads);
        status |= met ? 0 : 1;
        std::printf("| %s | %ld | %ld | %ld | %ld | %ld | %ld | %.0f | %s |\n", kind.name, c.reads, c.right, c.wrong,
                    c.wrongValues, c.exceptions, c.targetFailed, c.seconds, met ? "met" : "MISSED");
        std::fflush(stdout);
    }
    return status;
}
