#include "trailer_soak.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "session/gates/gate_address.h"
#include "session/line/block_trailers.h"

namespace soak {
namespace {

// Stations 1 (FA2) and 2 (FA3) of the rig; their DR memory is known.
constexpr int kStations[] = {1, 2};
constexpr unsigned kFa2Registers = 400;
constexpr unsigned kFa3Registers = 1000;

struct Kind {
    const char* name;
    double fasim::FaultSettings::*rate;
    std::uint64_t goalPerThousand;  // wrong reads served, at most, per 1000 reads
};
const Kind kKinds[] = {
    {"drop", &fasim::FaultSettings::dropRate, 0},
    {"insert", &fasim::FaultSettings::insertRate, 0},
    {"corrupt-random", &fasim::FaultSettings::corruptRate, 1},
};

struct Counts {
    std::uint64_t reads = 0, served = 0, failed = 0, attempts = 0;
    std::uint64_t driverFailures = 0;    // attempts the driver failed itself
    std::uint64_t driverTookWrong = 0;   // attempts the driver gave 0 with wrong values
    std::uint64_t trailerRejected = 0;   // attempts the trailer rejected
    std::uint64_t rejectedGood = 0;      // of those, with right values
    std::uint64_t wrongServed = 0;       // reads served with wrong values, the rule judging
    std::uint64_t wrongUnjudged = 0;     // the same while learning or unverified
    std::uint64_t wrongValues = 0;       // wrong elements in the reads served
    std::uint64_t unjudgedReads = 0;     // reads served while learning or unverified
    std::uint64_t logLines = 0;
    std::string checks;                  // each station's check at the end
};

struct Read {
    int station = 1;
    unsigned first = 0;
    std::int32_t count = 0;
    std::string gas;
    GateTransfer transfer{};
};

bool Define(SoakRig& rig, Read& read) {
    read.gas = qel::session::GateAddress{static_cast<unsigned>(read.station), "DR", read.first}.Format();
    return rig.Define(read.gas, DATA_TYPE_WORD, read.count, true, read.transfer);
}

Counts RunKind(SoakRig& rig, const Kind& kind, const TrailerSoakOptions& options, std::mt19937_64& random) {
    Counts counts;
    qel::session::BlockTrailers trailers([&](const std::string&) { ++counts.logLines; });
    fasim::FaultSettings faults;
    faults.seed = random();
    faults.faultEcho = false;
    faults.*kind.rate = options.rate;
    rig.Sim().SetFaults(faults);
    std::vector<std::uint16_t> values(MAX_BLOCK_COUNT + 2);
    std::vector<std::uint16_t> truth(MAX_BLOCK_COUNT);
    for (std::uint64_t n = 0; n < options.reads; ++n) {
        Read read;
        read.station = kStations[random() % 2];
        read.count = options.fewestWords +
                     static_cast<std::int32_t>(random() % static_cast<std::uint64_t>(options.mostWords - options.fewestWords + 1));
        const unsigned registers = read.station == 1 ? kFa2Registers : kFa3Registers;
        read.first = static_cast<unsigned>(random() % (registers - static_cast<unsigned>(read.count) + 1));
        if (!Define(rig, read)) continue;
        for (std::int32_t i = 0; i < read.count; ++i)
            truth[static_cast<std::size_t>(i)] = rig.Sim().Get(read.station, "DR", read.first + static_cast<unsigned>(i)).value_or(0);
        ++counts.reads;
        const auto right = [&] { return std::equal(truth.begin(), truth.begin() + read.count, values.begin()); };
        bool served = false;
        for (int attempt = 0; attempt < options.attempts && !served; ++attempt) {
            ++counts.attempts;
            std::ranges::fill(values, 0xA5A5);
            GateTransfer transfer = read.transfer;
            transfer.gas = read.gas.c_str();
            transfer.values = values.data();
            QelAttempt block{};
            block.transfer = &transfer;
            if (rig.Call(QEL_READ_ATTEMPT, &block) != 0) {
                ++counts.driverFailures;
                continue;
            }
            const bool good = right();
            counts.driverTookWrong += good ? 0 : 1;
            const bool judging = trailers.Check(static_cast<unsigned>(read.station)) == qel::session::BlockCheck::Shape ||
                                 trailers.Check(static_cast<unsigned>(read.station)) == qel::session::BlockCheck::Checksum;
            const std::span<const std::uint8_t> trailer(block.trailer, static_cast<std::size_t>(block.trailerLength));
            if (!trailers.Accept(static_cast<unsigned>(read.station), transfer, trailer)) {
                ++counts.trailerRejected;
                counts.rejectedGood += good ? 1 : 0;
                continue;
            }
            served = true;
            ++counts.served;
            counts.unjudgedReads += judging ? 0 : 1;
            if (!good) {
                ++(judging ? counts.wrongServed : counts.wrongUnjudged);
                for (std::int32_t i = 0; i < read.count; ++i)
                    counts.wrongValues += values[static_cast<std::size_t>(i)] != truth[static_cast<std::size_t>(i)] ? 1 : 0;
            }
        }
        counts.failed += served ? 0 : 1;
    }
    rig.Sim().SetFaults({});
    for (int station : kStations) {
        if (!counts.checks.empty()) counts.checks += " ";
        counts.checks += std::to_string(station) + ":" + qel::session::BlockCheckName(trailers.Check(static_cast<unsigned>(station)));
    }
    return counts;
}

}  // namespace

bool RunTrailerSoak(SoakRig& rig, const TrailerSoakOptions& options, std::ostream& out) {
    std::mt19937_64 random(options.seed);
    std::mt19937_64 memory(options.seed ^ 0x6d656d);
    for (int station : kStations) {
        const unsigned registers = station == 1 ? kFa2Registers : kFa3Registers;
        for (unsigned n = 0; n < registers; ++n) rig.Sim().Set(station, "DR", n, static_cast<std::uint16_t>(memory()));
    }
    out << "block reads of " << options.fewestWords << "-" << options.mostWords << " DR words, FA2 station 1 and FA3 "
        << "station 2, " << options.reads << " reads per fault kind, fault rate " << options.rate
        << " per reply byte, up to " << options.attempts << " attempts per read, seed " << options.seed << "\n\n";
    out << std::left << std::setw(16) << "fault" << std::right << std::setw(7) << "reads" << std::setw(8) << "failed"
        << std::setw(10) << "attempts" << std::setw(10) << "drv-fail" << std::setw(10) << "drv-wrong" << std::setw(10)
        << "rejected" << std::setw(10) << "rej-good" << std::setw(8) << "wrong" << std::setw(10) << "unjudged"
        << "  checks at the end\n";
    bool met = true;
    for (const Kind& kind : kKinds) {
        const Counts c = RunKind(rig, kind, options, random);
        out << std::left << std::setw(16) << kind.name << std::right << std::setw(7) << c.reads << std::setw(8)
            << c.failed << std::setw(10) << c.attempts << std::setw(10) << c.driverFailures << std::setw(10)
            << c.driverTookWrong << std::setw(10) << c.trailerRejected << std::setw(10) << c.rejectedGood
            << std::setw(8) << c.wrongServed << std::setw(10)
            << (std::to_string(c.wrongUnjudged) + "/" + std::to_string(c.unjudgedReads)) << "  " << c.checks << " ("
            << c.logLines << " log lines)\n";
        if (c.wrongServed * 1000 > kind.goalPerThousand * std::max<std::uint64_t>(c.reads, 1)) met = false;
    }
    out << "\nwrong: reads served with a wrong value while the station's rule judged; unjudged: the same while "
           "learning or unverified / reads served so; drv-wrong: attempts the driver gave 0 with a wrong value\n";
    return met;
}

}  // namespace soak
