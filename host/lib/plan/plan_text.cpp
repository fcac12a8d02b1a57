// The plan as a person reads it: one line per exchange, then the scan.
#include <cstdio>

#include "plan/scan_plan.h"

namespace qel::plan {

std::string PlanText(const Plan& plan, std::span<const GateRequest> gates) {
    std::string text;
    char line[160];
    std::snprintf(line, sizeof line, "%-4s %-11s %5s %9s %11s  %s\n", "#", "transfer", "count", "select ms",
                  "exchange ms", "gates");
    text += line;
    int selections = 0;
    std::size_t served = 0;
    for (std::size_t i = 0; i < plan.transfers.size(); ++i) {
        const Transfer& t = plan.transfers[i];
        std::string names;
        for (const GateSlot& slot : t.gates) {
            if (!names.empty()) names += ' ';
            names += gates[slot.gate].gas;
        }
        served += t.gates.size();
        if (t.selects) ++selections;
        char select[16] = "-";
        if (t.selects) std::snprintf(select, sizeof select, "%.1f", t.selectMs);
        std::snprintf(line, sizeof line, "%-4zu %-11s %5d %9s %11.1f  ", i + 1, t.gas.c_str(), t.count, select,
                      t.exchangeMs);
        text += line;
        text += names;
        text += '\n';
    }
    std::snprintf(line, sizeof line,
                  "scan: %zu exchanges, %d station selections, %zu gates; predicted %.1f ms per scan "
                  "(character %.3f ms, 20 ms purge per frame)\n",
                  plan.transfers.size(), selections, served, plan.scanMs, plan.characterMs);
    text += line;
    for (const std::size_t rejected : plan.rejected) {
        text += "not read: " + gates[rejected].gas + " (illegal for the driver)\n";
    }
    return text;
}

}  // namespace qel::plan
