#include "fault_plan.h"

#include <algorithm>
#include <cstdio>

namespace soak {
namespace {

const char* const kNames[] = {"none", "corrupt-random", "corrupt-nul", "drop", "insert", "nak", "late", "outage"};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<std::size_t>(FaultKind::Count));

constexpr std::size_t kAckLength = 4;

bool IsDigit(char c) { return c >= '0' && c <= '?'; }

// Ack, BlockData, two checksum digits and CR: the answer to a block read.
bool IsBlockAnswer(const std::string& frame) { return frame.size() > kAckLength + 3 && frame[0] == 'c'; }

bool DetectableOnBlock(const fasim::FaultEvent& e) {
    const std::size_t dataEnd = e.frame.size() - 3;
    using K = fasim::FaultEvent::Kind;
    switch (e.kind) {
        case K::Corrupt:
            if (e.offset < kAckLength || e.offset >= dataEnd) return true;  // the Ack check, or behind the data
            return !IsDigit(e.to);
        case K::Insert:
            // The inserted byte follows offset: inside the data from after the Ack's CR to before the last data byte.
            if (e.offset + 1 < kAckLength || e.offset + 1 >= dataEnd) return true;
            return !IsDigit(e.to);
        case K::Drop:
            return e.offset < kAckLength || e.offset >= dataEnd;
        default:
            return true;
    }
}

}  // namespace

const char* Name(FaultKind kind) { return kNames[static_cast<int>(kind)]; }

bool ParseFaultKind(const std::string& name, FaultKind& out) {
    for (int i = 0; i < static_cast<int>(FaultKind::Count); ++i)
        if (name == kNames[i]) {
            out = static_cast<FaultKind>(i);
            return true;
        }
    return false;
}

fasim::FaultSettings SettingsFor(FaultKind kind, std::uint64_t seed, std::size_t bytesPerAttempt, unsigned lateMs) {
    fasim::FaultSettings f;
    f.seed = seed;
    // About one fault in every second attempt.
    const double perByte = 0.5 / static_cast<double>(bytesPerAttempt == 0 ? 1 : bytesPerAttempt);
    switch (kind) {
        case FaultKind::CorruptRandom: f.corruptRate = perByte; break;
        case FaultKind::CorruptNul:
            f.corruptRate = perByte;
            f.corruptAs = fasim::CorruptAs::Nul;
            break;
        case FaultKind::Drop: f.dropRate = perByte; break;
        case FaultKind::Insert: f.insertRate = perByte; break;
        case FaultKind::Nak: f.nakRate = 0.25; break;
        case FaultKind::Late:
            f.lateRate = 0.25;
            f.lateMs = lateMs;
            break;
        default: break;
    }
    return f;
}

Judgement Judge(const std::vector<fasim::FaultEvent>& events) {
    if (events.empty()) return Judgement::Clean;
    // Faults per ElementReply: its checksum is sure to catch one.
    std::size_t onElementReplies = 0;
    for (const auto& e : events) {
        using K = fasim::FaultEvent::Kind;
        if (e.echo || e.kind == K::Nak || e.kind == K::Late) continue;
        if (IsBlockAnswer(e.frame)) {
            if (!DetectableOnBlock(e)) return Judgement::Undetectable;
        } else if (!e.frame.empty() && e.frame[0] != 'c' && e.frame[0] != 'd') {
            ++onElementReplies;
        }
    }
    return onElementReplies > 1 ? Judgement::Undetectable : Judgement::Detectable;
}

std::string Describe(const fasim::FaultEvent& e) {
    static const char* const kinds[] = {"drop", "corrupt", "insert", "nak", "late"};
    // The bytes around the fault; the whole frame when it is short.
    const std::size_t from = e.offset > 12 ? e.offset - 12 : 0;
    const std::size_t to = std::min(e.frame.size(), e.offset + 13);
    std::string frame = from > 0 ? "..." : "";
    for (char c : e.frame.substr(from, to - from)) {
        char hex[8];
        if (c >= 0x20 && c < 0x7F) {
            frame += c;
        } else {
            std::snprintf(hex, sizeof hex, "<%02x>", static_cast<unsigned char>(c));
            frame += hex;
        }
    }
    if (to < e.frame.size()) frame += "...";
    char line[200];
    std::snprintf(line, sizeof line, "%s%s st %d at %zu (%02x -> %02x) in %s", kinds[static_cast<int>(e.kind)],
                  e.echo ? " echo" : "", e.station, e.offset, static_cast<unsigned char>(e.from),
                  static_cast<unsigned char>(e.to), frame.c_str());
    return line;
}

}  // namespace soak
