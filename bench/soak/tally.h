// Counts of the soak's outcomes by fault kind and transaction kind, and the
// tables printed from them.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "workload.h"

namespace soak {

// What the first transaction after an outage did.
enum class Recovery { Healed, SelectedButFailed, NotSelected };

struct Cell {
    std::uint64_t runs = 0, ok = 0, failed = 0;
    std::uint64_t faulted = 0;                 // runs in which a fault was injected
    std::uint64_t corruptedUndetectable = 0;   // result 0, wrong value, only undetectable faults
    std::uint64_t corruptedDetectable = 0;     // result 0, wrong value, though every fault was detectable
    std::uint64_t Corrupted() const { return corruptedUndetectable + corruptedDetectable; }
};

class Tally {
public:
    void Add(FaultKind fault, TransferKind transfer, const Result& result, Judgement judgement);
    void AddRecovery(Recovery r) { ++recoveries_[static_cast<int>(r)]; }
    void AddOverrun() { ++overruns_; }
    // Kept for the report: the first few of each sort.
    void Note(const std::string& line, bool violation);

    // Corrupted values from faults the driver can detect, a transaction after
    // an outage that did not select the station again, or a write past the
    // host's array.
    bool Violations() const;
    void Print(std::ostream& out) const;
    const Cell& At(FaultKind f, TransferKind t) const { return cells_[Index(f, t)]; }

private:
    static std::size_t Index(FaultKind f, TransferKind t) {
        return static_cast<std::size_t>(f) * static_cast<std::size_t>(TransferKind::Count) + static_cast<std::size_t>(t);
    }
    Cell Sum(FaultKind f) const;
    std::array<Cell, static_cast<std::size_t>(FaultKind::Count) * static_cast<std::size_t>(TransferKind::Count)> cells_{};
    std::array<std::uint64_t, 3> recoveries_{};
    std::uint64_t overruns_ = 0;
    std::vector<std::string> violations_, undetectable_;
};

}  // namespace soak
