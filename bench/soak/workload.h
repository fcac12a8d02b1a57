// What the soak does on the line: a catalogue of the gates of every station
// (found with the driver's own gate checks and the simulator's memory map),
// random transactions over them, and the judgement of each outcome against
// the simulator's memory.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "soak_rig.h"

namespace soak {

enum class TransferKind {
    Fa2Word,       // single word read, ElementReply
    Fa2Bit,        // single bit read, ElementReply
    Fa2Bit8,       // block of 8 bits, ElementReply
    Fa2DrBlock,    // data-register block, Ack and BlockData
    Fa3Word,       // single word read, Ack and BlockData
    Fa3WordBlock,
    Fa3Bit,
    Fa3BitBlock,
    Fa2WriteWord,
    Fa2WriteBit,
    Fa3WriteWord,
    Fa3WriteBit,
    Count
};
const char* Name(TransferKind kind);
bool IsWrite(TransferKind kind);
// True when the read's reply is an ElementReply, whose checksum covers its data.
bool HasElementReply(TransferKind kind);

struct Transaction {
    TransferKind kind{};
    int station = 0;
    std::string area;          // mnemonic as in a GAS
    unsigned written = 0;      // first element as written in the GAS
    std::int32_t count = 1;
    std::uint16_t value = 0;   // what a write writes
    std::string gas;
    GateTransfer transfer{};   // as the gate check left it
};

enum class Outcome { Ok, Failed, Corrupted };

struct Result {
    Outcome outcome = Outcome::Ok;
    std::int32_t rc = 0;
    bool overrun = false;      // a slot past the host's array changed
    std::string detail;        // for a corrupted value: what differed
};

class Workload {
public:
    Workload(SoakRig& rig, std::uint64_t seed);
    // Enumerates the gates and fills the simulator's memory with random values.
    bool Prepare(std::string& error);
    Transaction Next();
    // A transaction of one station (for the outage and its recovery).
    Transaction NextFor(int station);
    Result Run(Transaction& t);

private:
    struct Area {
        std::string name;
        bool bit = false;
        std::vector<unsigned> written;  // valid written numbers, ascending
    };
    Transaction Make(TransferKind kind, int station);
    bool Check(Transaction& t);
    std::vector<Area>& AreasOf(int station) { return SoakRig::IsFa3(station) ? fa3_ : fa2_; }
    std::uint16_t Truth(const Transaction& t, std::size_t index) const;

    SoakRig& rig_;
    std::mt19937_64 rng_;
    std::vector<Area> fa2_, fa3_;
};

}  // namespace soak
