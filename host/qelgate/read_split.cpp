#include "read_split.h"

#include <cstdio>

namespace qelgate {

namespace {

qelhost::Gate MakeGate(unsigned station, const char* mnemonic, unsigned number, bool bits, int count) {
    qelhost::Gate gate;
    gate.gas = GateAddress(station, mnemonic, number);
    gate.dataType = bits ? DATA_TYPE_BIT : DATA_TYPE_WORD;
    gate.count = count;
    return gate;
}

}  // namespace

std::string GateAddress(unsigned station, const char* mnemonic, unsigned number) {
    char text[16];
    std::snprintf(text, sizeof text, "%03u%.2s%04u", station % 1000, mnemonic, number % 10000);
    return text;
}

unsigned NextNumber(unsigned n, bool bits) { return bits && n % 10 == 7 ? n + 3 : n + 1; }

std::optional<std::vector<DriverRead>> SplitRead(const GateCheck& check, unsigned station, const char* mnemonic,
                                                 unsigned first, unsigned count, bool bits) {
    // Every element on its own: legal, and where the driver keeps it.
    std::vector<qelhost::Gate> singles;
    singles.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        singles.push_back(MakeGate(station, mnemonic, first + i, bits, 1));
        if (!check(singles.back())) return std::nullopt;
    }
    auto element = [&](unsigned i) { return singles[i].definition.element; };

    std::vector<DriverRead> reads;
    for (unsigned j = 0; j < count;) {
        // The requested elements from j that the driver keeps side by side.
        unsigned run = 1;
        while (j + run < count && run < MAX_BLOCK_COUNT && element(j + run) == element(j) + run) ++run;
        // The smallest block that covers the whole run, reading on past the
        // end of the request over legal elements if the driver wants more
        // (FA-3 bits go by 8); else the largest that covers part of it; else
        // a single read.
        DriverRead read{singles[j], j, 1};
        auto tryBlock = [&](unsigned size, unsigned covered) {
            qelhost::Gate block = MakeGate(station, mnemonic, first + j, bits, static_cast<int>(size));
            if (!check(block)) return false;
            read = {block, j, covered};
            return true;
        };
        bool found = run > 1 && tryBlock(run, run);
        if (!found && run > 1 && j + run == count) {
            unsigned number = first + count - 1;
            for (unsigned size = run + 1; size <= MAX_BLOCK_COUNT && !found; ++size) {
                number = NextNumber(number, bits);
                qelhost::Gate next = MakeGate(station, mnemonic, number, bits, 1);
                if (number > 9999 || !check(next) || next.definition.element != element(j) + size - 1) break;
                found = tryBlock(size, run);
            }
        }
        for (unsigned size = run - 1; size >= 2 && !found; --size) found = tryBlock(size, size);
        reads.push_back(read);
        j += read.covered;
    }
    return reads;
}

}  // namespace qelgate
