#include "tally.h"

#include <cstdarg>
#include <cstdio>

namespace soak {
namespace {

constexpr std::size_t kMaxNotes = 12;
constexpr auto kFaults = static_cast<int>(FaultKind::Count);
constexpr auto kTransfers = static_cast<int>(TransferKind::Count);

std::string Row(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Row(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

}  // namespace

void Tally::Add(FaultKind fault, TransferKind transfer, const Result& result, Judgement judgement) {
    Cell& c = cells_[Index(fault, transfer)];
    ++c.runs;
    if (judgement != Judgement::Clean) ++c.faulted;
    switch (result.outcome) {
        case Outcome::Ok: ++c.ok; break;
        case Outcome::Failed: ++c.failed; break;
        case Outcome::Corrupted:
            ++(judgement == Judgement::Undetectable ? c.corruptedUndetectable : c.corruptedDetectable);
            break;
    }
    if (result.overrun) ++overruns_;
}

void Tally::Note(const std::string& line, bool violation) {
    auto& notes = violation ? violations_ : undetectable_;
    if (notes.size() < kMaxNotes) notes.push_back(line);
}

bool Tally::Violations() const {
    if (recoveries_[static_cast<int>(Recovery::NotSelected)] > 0 || overruns_ > 0) return true;
    for (const Cell& c : cells_)
        if (c.corruptedDetectable > 0) return true;
    return false;
}

Cell Tally::Sum(FaultKind f) const {
    Cell s;
    for (int t = 0; t < kTransfers; ++t) {
        const Cell& c = At(f, static_cast<TransferKind>(t));
        s.runs += c.runs;
        s.ok += c.ok;
        s.failed += c.failed;
        s.faulted += c.faulted;
        s.corruptedUndetectable += c.corruptedUndetectable;
        s.corruptedDetectable += c.corruptedDetectable;
    }
    return s;
}

void Tally::Print(std::ostream& out) const {
    out << "Outcomes by fault kind and transaction kind (runs: transactions; faulted: a fault was injected;\n"
           "corrupted: result 0 with a wrong value, split by whether every fault in it was detectable)\n\n";
    out << Row("%-15s %-15s %8s %8s %8s %8s %12s %10s\n", "fault", "transaction", "runs", "faulted", "ok", "failed",
               "undetectable", "DETECTABLE");
    for (int f = 0; f < kFaults; ++f) {
        for (int t = 0; t < kTransfers; ++t) {
            const Cell& c = At(static_cast<FaultKind>(f), static_cast<TransferKind>(t));
            if (c.runs == 0) continue;
            out << Row("%-15s %-15s %8llu %8llu %8llu %8llu %12llu %10llu\n", Name(static_cast<FaultKind>(f)),
                       Name(static_cast<TransferKind>(t)), static_cast<unsigned long long>(c.runs),
                       static_cast<unsigned long long>(c.faulted), static_cast<unsigned long long>(c.ok),
                       static_cast<unsigned long long>(c.failed), static_cast<unsigned long long>(c.corruptedUndetectable),
                       static_cast<unsigned long long>(c.corruptedDetectable));
        }
    }
    out << "\nCorrupted values / transactions, by fault kind (rows) and transaction kind (columns)\n\n";
    out << Row("%-15s", "");
    for (int t = 0; t < kTransfers; ++t) out << Row(" %13.13s", Name(static_cast<TransferKind>(t)));
    out << Row(" %13s\n", "all");
    for (int f = 0; f < kFaults; ++f) {
        const Cell total = Sum(static_cast<FaultKind>(f));
        if (total.runs == 0) continue;
        out << Row("%-15s", Name(static_cast<FaultKind>(f)));
        for (int t = 0; t < kTransfers; ++t) {
            const Cell& c = At(static_cast<FaultKind>(f), static_cast<TransferKind>(t));
            out << Row(" %6llu/%-6llu", static_cast<unsigned long long>(c.Corrupted()), static_cast<unsigned long long>(c.runs));
        }
        out << Row(" %6llu/%-6llu\n", static_cast<unsigned long long>(total.Corrupted()),
                   static_cast<unsigned long long>(total.runs));
    }
    out << Row("\noutages: %llu healed with the next transaction; %llu more selected the station again in it but "
               "failed on the line; %llu did not select it again\n",
               static_cast<unsigned long long>(recoveries_[0]), static_cast<unsigned long long>(recoveries_[1]),
               static_cast<unsigned long long>(recoveries_[2]));
    out << Row("writes past the host's value array: %llu\n", static_cast<unsigned long long>(overruns_));
    if (!undetectable_.empty()) {
        out << "\nfirst values corrupted by undetectable faults:\n";
        for (const auto& n : undetectable_) out << "  " << n << "\n";
    }
    if (!violations_.empty()) {
        out << "\nFAULTS THE DRIVER SHOULD HAVE DETECTED:\n";
        for (const auto& n : violations_) out << "  " << n << "\n";
    }
}

}  // namespace soak
