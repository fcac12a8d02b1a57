// The scan planner: turns a host's gate list into the fewest read exchanges
// the line allows, and predicts how long one scan of them takes.
//
// Gates of one station and one area are merged into block reads when the
// driver's own block check admits the block (asked through QelMain, never
// copied) and when reading across the gap costs less line time than another
// exchange. Transfers are grouped by station, so each station is selected
// once per scan. A block the check refuses (more than 100 elements, an FA-2
// bit block other than 8) is split.
//
// The planner talks to no line: it needs the driver's gate check and the
// station models, both reached through the callbacks of `Driver`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vuzorur.h"

namespace qel::plan {

// The line settings that set the character time.
struct LineSettings {
    unsigned baud = 9600;
    unsigned dataBits = 8;
    bool parity = true;     // a parity bit: odd, even, mark or space
    double stopBits = 1.0;  // 1, 1.5 or 2
};

// One gate of the host's list.
struct GateRequest {
    std::string gas;                 // e.g. "001DR0010", "002IO0157"
    std::int32_t count = 1;          // above 1: a block gate of that many elements
    std::int32_t dataType = DATA_TYPE_WORD;  // DATA_TYPE_WORD or DATA_TYPE_BIT
};

// What the planner asks of the driver. `check` runs QEL_CHECK_GATE or
// QEL_CHECK_BLOCK (the operation given) on the host's workspace and returns
// the driver's result; `model` gives a station's model text ("FA2", "FA3").
struct Driver {
    std::function<std::int32_t(std::int32_t operation, GateDefinition& definition)> check;
    std::function<std::string(std::uint32_t station)> model;
};

// Both callbacks through QelMain on an initialised workspace.
Driver DriverThrough(QelMainFunction qelMain, DriverWorkspace* workspace, std::int32_t qelNumber);

struct PlanOptions {
    bool merge = true;  // false: one exchange per gate, in the order of the list
    LineSettings line;
};

// Where a gate's values lie in its transfer: its first element is the
// transfer's element + offset.
struct GateSlot {
    std::size_t gate = 0;  // index into the gate list
    std::int32_t offset = 0;
    std::int32_t count = 1;
};

// One read exchange of the scan: a GateTransfer for QelMain, and the gates
// it serves.
struct Transfer {
    std::string gas;  // the address of its first element; the driver names it in its messages
    std::uint32_t station = 0;
    std::uint32_t areaCode = 0;
    std::uint32_t element = 0;  // stored numbering, as the gate check gives it
    std::int32_t dataType = DATA_TYPE_WORD;
    std::int32_t count = 1;  // 1: one value, in slot 1 of the driver's array
    std::vector<GateSlot> gates;
    bool selects = false;   // a station selection goes before it in every scan
    double selectMs = 0;    // predicted time of that selection (0 when none)
    double exchangeMs = 0;  // predicted time of the request and its reply
};

struct Plan {
    std::vector<Transfer> transfers;
    std::vector<std::size_t> rejected;  // gates the driver's check refused; in no transfer
    double characterMs = 0;
    // One scan in steady state: every exchange, and a selection wherever the
    // station differs from the one read before (the last transfer of the
    // scan comes before the first). The first scan after QEL_INIT or a warm
    // start adds one selection when the plan has a single station.
    double scanMs = 0;
};

Plan MakePlan(std::span<const GateRequest> gates, const Driver& driver, const PlanOptions& options);

// A run of `count` single gates of one area of one station whose written
// element numbers count up by one, as a Modbus read names them: gas(i) is
// the address of element i (0 .. count - 1), asked only for the two ends and
// for an element that ends up in a transfer of its own.
struct Run {
    std::function<std::string(std::uint32_t index)> gas;
    std::uint32_t count = 1;
    std::int32_t dataType = DATA_TYPE_WORD;
};

// The plan MakePlan gives for the run's gates (gate i is element i), or
// nullopt when the driver refuses any of them. The driver checks the two
// ends as gates, and each element between them once, by its stored number,
// shared with the checks of the blocks that read it: the ends alone do not
// settle a run, a model's numbers have holes inside a range (CT 47 of an
// FA-3) and the block check takes a block's first element only. Ends that do
// not line up (another area or station, stored numbers that do not span the
// run) are planned as MakePlan plans the single gates.
std::optional<Plan> PlanRun(const Run& run, const Driver& driver, const PlanOptions& options);

// A contiguous range of one area of one station, as single gates for
// MakePlan: elements first .. first + count - 1 in stored numbering (the
// numbering GateDefinition.element has: IO 157 is 127). Elements the
// station's model does not have are refused by the check and left out.
std::vector<GateRequest> RangeGates(std::uint32_t station, std::uint32_t areaCode, std::uint32_t firstElement,
                                    std::uint32_t count);

// The address of an element in stored numbering: (1, AREA_IO, 127) is
// "001IO0157", (2, AREA_IR, 3512) is "002IM0640". Empty for WO and FORCE.
std::string ElementGas(std::uint32_t station, std::uint32_t areaCode, std::uint32_t element);

// Reading a transfer: QEL_READ for one value, QEL_READ_BLOCK for a block,
// with a value array of SlotCount slots.
std::int32_t ReadOperation(const Transfer& transfer);
std::size_t SlotCount(const Transfer& transfer);
GateTransfer ToGateTransfer(const Transfer& transfer, std::uint16_t* slots);
// One gate's values from its transfer's slots after a successful read.
std::vector<std::uint16_t> GateValues(const Transfer& transfer, const GateSlot& slot,
                                      std::span<const std::uint16_t> slots);

// The plan as a table: one line per exchange with its predicted time, then
// the scan's total.
std::string PlanText(const Plan& plan, std::span<const GateRequest> gates);

}  // namespace qel::plan
