// Scan rate: whole scans of three gate lists against the simulator paced at
// the line's character time, with the planner, without it (one exchange per
// gate, in the order of the list), and the planner's prediction.
//
//   scan_bench [--baud 9600] [--reps 3] [--seed 7]
//
// Prints a Markdown table, then the model's figures for sizing a line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fasim.h"
#include "plan/line_cost.h"
#include "plan/scan_plan.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"

namespace {

using qel::plan::GateRequest;

struct List {
    const char* name;
    std::vector<GateRequest> gates;
};

GateRequest Gate(int station, const char* area, unsigned written, int count = 1) {
    char gas[16];
    std::snprintf(gas, sizeof gas, "%03d%s%04u", station, area, written);
    const bool bit = std::strcmp(area, "IO") == 0 || std::strcmp(area, "SR") == 0;
    return {gas, count, bit ? DATA_TYPE_BIT : DATA_TYPE_WORD};
}

// Stations 1 and 2 are FA-2s, 3 and 4 FA-3s.
std::vector<List> Lists(std::mt19937& random) {
    auto any = [&](unsigned below) { return static_cast<unsigned>(random() % below); };
    std::vector<List> lists;

    // (a) 200 single DR gates, 50 a station among its first 70 registers, in random order.
    List a{"(a) 200 single DR gates, 4 stations, random order", {}};
    for (int station = 1; station <= 4; ++station) {
        std::vector<unsigned> elements(70);
        for (unsigned i = 0; i < 70; ++i) elements[i] = i;
        std::shuffle(elements.begin(), elements.end(), random);
        for (int i = 0; i < 50; ++i) a.gates.push_back(Gate(station, "DR", elements[static_cast<std::size_t>(i)]));
    }
    std::shuffle(a.gates.begin(), a.gates.end(), random);
    lists.push_back(a);

    // (b) DR words with gaps of 1 to 20, IO bits of both models, a CP preset.
    List b{"(b) mixed: DR gaps 1-20, IO bits, CP preset", {}};
    for (int station = 1; station <= 4; ++station) {
        unsigned element = any(10);
        for (int i = 0; i < 12; ++i, element += 1 + any(20)) b.gates.push_back(Gate(station, "DR", element));
        for (int i = 0; i < 8; ++i) b.gates.push_back(Gate(station, "IO", any(16) * 10 + any(8)));
        if (station >= 3) b.gates.push_back(Gate(station, "IO", 200, 16));
        b.gates.push_back(Gate(station, "CP", any(47)));
    }
    std::shuffle(b.gates.begin(), b.gates.end(), random);
    lists.push_back(b);

    // (c) The worst case for merging: single gates far apart.
    List c{"(c) single gates far apart", {}};
    for (int station = 1; station <= 4; ++station) {
        const unsigned step = station <= 2 ? 100 : 250;
        for (unsigned i = 0; i < 4; ++i) c.gates.push_back(Gate(station, "DR", i * step));
        c.gates.push_back(Gate(station, "IO", 0));
        c.gates.push_back(Gate(station, "IO", 357));
    }
    lists.push_back(c);
    return lists;
}

// One scan: every transfer of the plan once; the milliseconds it took.
double Scan(const qel::plan::Plan& plan, DriverWorkspace& workspace, int& failures) {
    const auto start = std::chrono::steady_clock::now();
    for (const auto& transfer : plan.transfers) {
        std::vector<std::uint16_t> slots(qel::plan::SlotCount(transfer), 0);
        GateTransfer record = qel::plan::ToGateTransfer(transfer, slots.data());
        QelRequest request{&workspace, qel::plan::ReadOperation(transfer), 1, 0, &record};
        if (QelMain(&request) != 0) ++failures;
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Sizing(const qel::plan::LineSettings& line) {
    using qel::plan::ExchangeMs;
    using qel::plan::ReadShape;
    struct Row {
        const char* what;
        bool fa2;
        std::uint32_t area;
        int count;
        int gates;
    };
    const Row rows[] = {
        {"FA-2 single DR", true, AREA_DR, 1, 1},       {"FA-2 DR block of 100", true, AREA_DR, 100, 100},
        {"FA-2 8 IO bits (one byte)", true, AREA_IO, 8, 8}, {"FA-3 single DR", false, AREA_DR, 1, 1},
        {"FA-3 DR block of 100", false, AREA_DR, 100, 100}, {"FA-3 96 IO bits", false, AREA_IO, 96, 96},
    };
    const double selectMs = ExchangeMs(qel::plan::SelectShape(), line);
    std::printf("\n%u baud, character %.3f ms; a station selection %.1f ms\n\n", line.baud,
                qel::plan::CharacterMs(line), selectMs);
    std::printf("| exchange | ms | gates per second |\n|---|---:|---:|\n");
    for (const Row& r : rows) {
        const double ms = ExchangeMs(ReadShape(r.fa2, r.area, r.count), line);
        std::printf("| %s | %.1f | %.0f |\n", r.what, ms, 1000.0 * r.gates / ms);
    }
}

}  // namespace

int main(int argc, char** argv) {
    unsigned baud = 9600;
    int reps = 3;
    unsigned seed = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--baud") == 0) baud = static_cast<unsigned>(std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--reps") == 0) reps = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--seed") == 0) seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
    }
    testsupport::LogCapture quiet;  // the driver's messages stay out of the table
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA2}, {3, fasim::Model::FA3}, {4, fasim::Model::FA3}};
    options.line.baud = baud;
    fasim::Simulator sim(options);
    const std::string link = testsupport::ShortLinkPath();
    std::string error;
    if (!sim.StartPty(link, &error)) {
        std::fprintf(stderr, "scan_bench: the simulator did not start: %s\n", error.c_str());
        return 2;
    }
    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor(link);
    setup.baudRate = static_cast<std::uint16_t>(baud);
    QelRequest init{&workspace, QEL_INIT, 1, 0, &setup};
    if (QelMain(&init) != 0) {
        std::fprintf(stderr, "scan_bench: QEL_INIT failed\n");
        return 2;
    }
    std::memcpy(workspace.stationModel[3], "FA3", 4);
    std::memcpy(workspace.stationModel[4], "FA3", 4);
    const auto driver = qel::plan::DriverThrough(QelMain, &workspace, 1);

    qel::plan::PlanOptions merged;
    merged.line.baud = baud;
    qel::plan::PlanOptions single = merged;
    single.merge = false;

    std::mt19937 random(seed);
    std::printf("Scans at %u baud 8E1 against fasim, median of %d scans each (ms per scan)\n\n", baud, reps);
    std::printf("| list | gates | exchanges planned / unplanned | planned: measured | predicted | measured / "
                "predicted | unplanned: measured | predicted | measured / predicted | speed-up |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    int failures = 0;
    for (const List& list : Lists(random)) {
        const auto withPlan = qel::plan::MakePlan(list.gates, driver, merged);
        const auto without = qel::plan::MakePlan(list.gates, driver, single);
        Scan(withPlan, workspace, failures);  // the first scan selects from no station
        std::vector<double> planned, unplanned;
        for (int r = 0; r < reps; ++r) {
            planned.push_back(Scan(withPlan, workspace, failures));
            unplanned.push_back(Scan(without, workspace, failures));
        }
        const double p = Median(planned), u = Median(unplanned);
        std::printf("| %s | %zu | %zu / %zu | %.0f | %.0f | %.3f | %.0f | %.0f | %.3f | %.1fx |\n", list.name,
                    list.gates.size(), withPlan.transfers.size(), without.transfers.size(), p, withPlan.scanMs,
                    p / withPlan.scanMs, u, without.scanMs, u / without.scanMs, u / p);
        std::fflush(stdout);
    }
    if (failures != 0) std::printf("\n%d reads failed\n", failures);
    for (const unsigned rate : {9600u, 19200u}) {
        qel::plan::LineSettings line;
        line.baud = rate;
        Sizing(line);
    }
    QelRequest close{&workspace, QEL_CLOSE, 1, 0, nullptr};
    QelMain(&close);
    return failures == 0 ? 0 : 1;
}
