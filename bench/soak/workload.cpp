#include "workload.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "session/gates/gate_address.h"

namespace soak {
namespace {

constexpr std::uint16_t kUntouched = 0xA5A5;
constexpr std::size_t kGuardSlots = 4;

// Written bit numbers: byte digits and a bit digit 0-7.
unsigned LinearBit(unsigned written) { return written / 10 * 8 + written % 10; }
unsigned WrittenBit(unsigned linear) { return linear / 8 * 10 + linear % 8; }

// IO, IR and IM number their bits as byte digits and a bit digit; SR counts on.
bool Folded(const std::string& area) { return area == "IO" || area == "IR" || area == "IM"; }
unsigned NthElement(const std::string& area, unsigned written, std::size_t i) {
    return Folded(area) ? WrittenBit(LinearBit(written) + static_cast<unsigned>(i)) : written + static_cast<unsigned>(i);
}

const char* const kNames[] = {"FA2 word",     "FA2 bit",       "FA2 bit x8",    "FA2 DR block",
                              "FA3 word",     "FA3 word block", "FA3 bit",      "FA3 bit block",
                              "FA2 write word", "FA2 write bit", "FA3 write word", "FA3 write bit"};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<std::size_t>(TransferKind::Count));

struct AreaSpec {
    const char* name;
    bool bit;
    bool fa2, fa3;
    unsigned highestWritten;
};
const AreaSpec kAreas[] = {
    {"TM", false, true, true, 300}, {"CT", false, true, true, 110}, {"DR", false, true, true, 1000},
    {"CP", false, true, true, 110}, {"TP", false, true, true, 300}, {"IO", true, true, true, 3000},
    {"IR", true, true, true, 3000}, {"IM", true, false, true, 3000}, {"SR", true, true, true, 300},
};

bool Writable(TransferKind kind, const std::string& area) {
    const bool fa2 = kind == TransferKind::Fa2WriteWord || kind == TransferKind::Fa2WriteBit;
    if (kind == TransferKind::Fa2WriteWord || kind == TransferKind::Fa3WriteWord)
        return area == "DR" || area == "CP" || area == "TP";
    return area == "IO" || area == "SR" || area == "IR" || (!fa2 && area == "IM");
}

}  // namespace

const char* Name(TransferKind kind) { return kNames[static_cast<int>(kind)]; }

bool IsWrite(TransferKind kind) { return kind >= TransferKind::Fa2WriteWord; }

bool HasElementReply(TransferKind kind) {
    return kind == TransferKind::Fa2Word || kind == TransferKind::Fa2Bit || kind == TransferKind::Fa2Bit8;
}

Workload::Workload(SoakRig& rig, std::uint64_t seed) : rig_(rig), rng_(seed) {}

bool Workload::Prepare(std::string& error) {
    for (const bool fa3 : {false, true}) {
        const int station = fa3 ? 2 : 1;
        auto& areas = fa3 ? fa3_ : fa2_;
        for (const AreaSpec& spec : kAreas) {
            if (!(fa3 ? spec.fa3 : spec.fa2)) continue;
            Area area{spec.name, spec.bit, {}};
            for (unsigned n = 0; n <= spec.highestWritten; ++n) {
                if (Folded(spec.name) && n % 10 > 7) continue;
                // IM below 640 or above 1317 is IR under another name.
                if (spec.name == std::string("IM") && (n < 640 || n > 1317)) continue;
                Transaction t;
                t.kind = fa3 ? TransferKind::Fa3Word : TransferKind::Fa2Word;
                t.station = station;
                t.area = spec.name;
                t.written = n;
                if (Check(t) && rig_.Sim().Get(station, spec.name, n)) area.written.push_back(n);
            }
            if (area.written.empty()) return error = std::string("no gate of ") + spec.name, false;
            areas.push_back(std::move(area));
        }
    }
    for (int station : SoakRig::kStations)
        for (const Area& area : AreasOf(station))
            for (unsigned n : area.written) {
                std::uint16_t v = static_cast<std::uint16_t>(rng_());
                if (area.bit) v &= 1;
                if (area.name == "TM" || area.name == "CT") v &= 0x3FFF;  // the driver keeps 14 bits of these
                rig_.Sim().Set(station, area.name, n, v);
            }
    return true;
}

// The driver's own check of the gate, as a host defines it.
bool Workload::Check(Transaction& t) {
    const qel::session::GateAddress address{static_cast<unsigned>(t.station), t.area, t.written};
    t.gas = address.Format();
    const bool bit = address.Bits();
    return rig_.Define(t.gas, bit ? DATA_TYPE_BIT : DATA_TYPE_WORD, t.count, t.count > 1, t.transfer);
}

Transaction Workload::Make(TransferKind kind, int station) {
    for (;;) {
        Transaction t;
        t.kind = kind;
        t.station = station;
        auto& areas = AreasOf(station);
        std::vector<const Area*> fit;
        for (const Area& a : areas) {
            const bool word = !a.bit;
            switch (kind) {
                case TransferKind::Fa2Word: case TransferKind::Fa3Word: case TransferKind::Fa3WordBlock:
                    if (word) fit.push_back(&a);
                    break;
                case TransferKind::Fa2DrBlock:
                    if (a.name == "DR") fit.push_back(&a);
                    break;
                case TransferKind::Fa2Bit: case TransferKind::Fa2Bit8: case TransferKind::Fa3Bit: case TransferKind::Fa3BitBlock:
                    if (a.bit) fit.push_back(&a);
                    break;
                default:
                    if (Writable(kind, a.name) && a.bit == (kind == TransferKind::Fa2WriteBit || kind == TransferKind::Fa3WriteBit))
                        fit.push_back(&a);
            }
        }
        const Area& area = *fit[rng_() % fit.size()];
        t.area = area.name;
        t.written = area.written[rng_() % area.written.size()];
        switch (kind) {
            case TransferKind::Fa2Bit8: t.count = 8; break;
            case TransferKind::Fa2DrBlock: case TransferKind::Fa3WordBlock: case TransferKind::Fa3BitBlock:
                t.count = 2 + static_cast<std::int32_t>(rng_() % 99);
                break;
            default: t.count = 1;
        }
        if (IsWrite(kind)) {
            t.value = static_cast<std::uint16_t>(rng_());
            if (area.bit) t.value &= 1;
            if (t.area == "CP" || t.area == "TP") t.value = static_cast<std::uint16_t>(t.value % 10000);
        }
        // Every element of the block must exist in the controller, and the
        // driver's block check must accept it.
        bool exists = true;
        for (std::int32_t i = 0; i < t.count && exists; ++i) {
            const unsigned n = NthElement(t.area, t.written, static_cast<std::size_t>(i));
            exists = std::binary_search(area.written.begin(), area.written.end(), n);
        }
        if (exists && Check(t)) return t;
    }
}

Transaction Workload::Next() {
    const auto kind = static_cast<TransferKind>(rng_() % static_cast<unsigned>(TransferKind::Count));
    const bool fa3 = kind == TransferKind::Fa3Word || kind == TransferKind::Fa3WordBlock || kind == TransferKind::Fa3Bit ||
                     kind == TransferKind::Fa3BitBlock || kind == TransferKind::Fa3WriteWord || kind == TransferKind::Fa3WriteBit;
    const int station = fa3 ? (rng_() % 2 == 0 ? 2 : 4) : (rng_() % 2 == 0 ? 1 : 3);
    return Make(kind, station);
}

Transaction Workload::NextFor(int station) {
    static const TransferKind fa2[] = {TransferKind::Fa2Word, TransferKind::Fa2DrBlock, TransferKind::Fa2WriteWord};
    static const TransferKind fa3[] = {TransferKind::Fa3Word, TransferKind::Fa3BitBlock, TransferKind::Fa3WriteBit};
    const std::uint64_t pick = rng_() % 3;
    const TransferKind kind = SoakRig::IsFa3(station) ? fa3[pick] : fa2[pick];
    return Make(kind, station);
}

std::uint16_t Workload::Truth(const Transaction& t, std::size_t index) const {
    const std::optional<std::uint16_t> held = rig_.Sim().Get(t.station, t.area, NthElement(t.area, t.written, index));
    return held.has_value() ? *held : std::uint16_t{0xFFFF};
}

Result Workload::Run(Transaction& t) {
    const std::size_t slots = static_cast<std::size_t>(std::max(t.count, 2));
    std::vector<std::uint16_t> values(slots + kGuardSlots, kUntouched);
    if (IsWrite(t.kind)) values[1] = t.value;
    GateTransfer transfer = t.transfer;
    transfer.gas = t.gas.c_str();
    transfer.values = values.data();
    Result r;
    r.rc = rig_.Call(IsWrite(t.kind) ? QEL_WRITE : QEL_READ_BLOCK, &transfer);
    for (std::size_t i = slots; i < values.size(); ++i) r.overrun |= values[i] != kUntouched;
    if (r.rc != 0) {
        r.outcome = Outcome::Failed;
        return r;
    }
    char line[160];
    if (IsWrite(t.kind)) {
        const std::uint16_t now = Truth(t, 0);
        if (now != t.value) {
            std::snprintf(line, sizeof line, "%s wrote %u, the controller holds %u", t.gas.c_str(), t.value, now);
            r.outcome = Outcome::Corrupted;
            r.detail = line;
        }
        return r;
    }
    const std::size_t first = t.count == 1 ? 1 : 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(t.count); ++i) {
        const std::uint16_t want = Truth(t, i);
        if (values[first + i] != want) {
            std::snprintf(line, sizeof line, "%s count %d: element %zu read %u, the controller holds %u", t.gas.c_str(),
                          t.count, i, values[first + i], want);
            r.outcome = Outcome::Corrupted;
            r.detail = line;
            return r;
        }
    }
    return r;
}

}  // namespace soak
