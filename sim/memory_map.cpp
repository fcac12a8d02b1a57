#include "memory_map.h"

#include <cctype>

namespace fasim {
namespace {

constexpr int Idx(Space s) { return static_cast<int>(s); }

struct SpaceRange {
  Space space;
  unsigned first;
  unsigned end;
};

// Address spaces of each model: [first, end).
constexpr SpaceRange kFa2Spaces[] = {
    {Space::TM, 0, 80},          {Space::CT, 0, 47},          {Space::DR, 0, 400},
    {Space::CP, 0, 47},          {Space::TP, 0, 80},          {Space::SR, 0, 128},
    {Space::Fa2Io, 0, 256},      {Space::Fa2IrLow, 0, 240},   {Space::Fa2IrHigh, 128, 256},
    {Space::Fa2IrExt, 0, 240},
};

constexpr SpaceRange kFa3Spaces[] = {
    {Space::TM, 0, 256},           {Space::CT, 0, 103},           {Space::DR, 0, 1000},
    {Space::CP, 0, 103},           {Space::TP, 0, 256},           {Space::WO, 0, 400},
    {Space::SR, 0, 224},           {Space::Fa3IoGroup1, 0, 256},  {Space::Fa3IoGroup2, 0, 256},
    {Space::Fa3IrIm, 0, 1056},
};

// One row of the gate-number table. Word rows: address = written number.
// Bit rows: the written number is byte digits plus a bit digit 0-7, and
// address = linear(written) - linear(writtenFirst) + addressFirst, where
// linear(n) = (n / 10) * 8 + n % 10.
struct GateRow {
  Model model;
  const char* area;
  unsigned writtenFirst;
  unsigned writtenLast;
  bool byteAndBit;
  Space space;
  unsigned addressFirst;
};

// Searched in order; the first row whose range holds the number wins.
constexpr GateRow kGateRows[] = {
    // FA2
    {Model::FA2, "TM", 0, 79, false, Space::TM, 0},
    {Model::FA2, "CT", 0, 46, false, Space::CT, 0},
    {Model::FA2, "DR", 0, 399, false, Space::DR, 0},
    {Model::FA2, "CP", 0, 46, false, Space::CP, 0},
    {Model::FA2, "TP", 0, 79, false, Space::TP, 0},
    {Model::FA2, "SR", 0, 127, false, Space::SR, 0},
    // FA2 WO travels in the data-register frames: it is the DR memory.
    {Model::FA2, "WO", 0, 399, false, Space::DR, 0},
    {Model::FA2, "IO", 0, 157, true, Space::Fa2Io, 0},
    {Model::FA2, "IO", 200, 357, true, Space::Fa2Io, 128},
    {Model::FA2, "IR", 400, 697, true, Space::Fa2IrLow, 0},
    {Model::FA2, "IR", 2200, 2357, true, Space::Fa2IrHigh, 128},
    {Model::FA2, "IR", 2400, 2697, true, Space::Fa2IrExt, 0},
    // FA3
    {Model::FA3, "TM", 0, 255, false, Space::TM, 0},
    {Model::FA3, "CT", 0, 46, false, Space::CT, 0},
    {Model::FA3, "CT", 48, 102, false, Space::CT, 48},
    {Model::FA3, "DR", 0, 999, false, Space::DR, 0},
    {Model::FA3, "CP", 0, 46, false, Space::CP, 0},
    {Model::FA3, "CP", 48, 102, false, Space::CP, 48},
    {Model::FA3, "TP", 0, 255, false, Space::TP, 0},
    {Model::FA3, "SR", 0, 223, false, Space::SR, 0},
    {Model::FA3, "WO", 0, 399, false, Space::WO, 0},
    {Model::FA3, "IO", 0, 157, true, Space::Fa3IoGroup1, 0},
    {Model::FA3, "IO", 200, 357, true, Space::Fa3IoGroup2, 0},
    {Model::FA3, "IO", 2000, 2157, true, Space::Fa3IoGroup1, 128},
    {Model::FA3, "IO", 2200, 2357, true, Space::Fa3IoGroup2, 128},
    {Model::FA3, "IR", 400, 697, true, Space::Fa3IrIm, 0},
    {Model::FA3, "IR", 2400, 2697, true, Space::Fa3IrIm, 256},
    // IM: its own range first, then the IR ranges apply to the same number.
    {Model::FA3, "IM", 640, 1317, true, Space::Fa3IrIm, 512},
    {Model::FA3, "IM", 400, 697, true, Space::Fa3IrIm, 0},
    {Model::FA3, "IM", 2400, 2697, true, Space::Fa3IrIm, 256},
};

constexpr const char* kAreas[] = {"TM", "CT", "DR", "CP", "TP", "IO", "IR", "IM", "SR", "WO"};

unsigned Linear(unsigned written) { return (written / 10) * 8 + written % 10; }

}  // namespace

bool IsBitSpace(Space s) {
  switch (s) {
    case Space::SR:
    case Space::Fa2Io:
    case Space::Fa2IrLow:
    case Space::Fa2IrHigh:
    case Space::Fa2IrExt:
    case Space::Fa3IoGroup1:
    case Space::Fa3IoGroup2:
    case Space::Fa3IrIm:
      return true;
    default:
      return false;
  }
}

const char* SpaceName(Space s) {
  switch (s) {
    case Space::TM: return "TM";
    case Space::CT: return "CT";
    case Space::DR: return "DR";
    case Space::CP: return "CP";
    case Space::TP: return "TP";
    case Space::WO: return "WO";
    case Space::SR: return "SR";
    case Space::Fa2Io: return "IO";
    case Space::Fa2IrLow: return "IR(2)";
    case Space::Fa2IrHigh: return "IR(>)";
    case Space::Fa2IrExt: return "IR(?)";
    case Space::Fa3IoGroup1: return "IO(58)";
    case Space::Fa3IoGroup2: return "IO(59)";
    case Space::Fa3IrIm: return "IR/IM";
    case Space::Count: break;
  }
  return "?";
}

Memory::Memory(Model model) : model_(model) {
  auto setup = [this](const auto& table) {
    for (const SpaceRange& r : table) {
      first_[Idx(r.space)] = r.first;
      end_[Idx(r.space)] = r.end;
      cells_[Idx(r.space)].assign(r.end, 0);
    }
  };
  if (model == Model::FA2)
    setup(kFa2Spaces);
  else
    setup(kFa3Spaces);
}

bool Memory::Valid(Space s, unsigned address) const {
  if (s == Space::Count) return false;
  return address >= first_[Idx(s)] && address < end_[Idx(s)];
}

unsigned Memory::End(Space s) const { return s == Space::Count ? 0 : end_[Idx(s)]; }

std::uint16_t Memory::Get(Space s, unsigned address) const {
  if (!Valid(s, address)) return 0;
  return cells_[Idx(s)][address];
}

void Memory::Put(Space s, unsigned address, std::uint16_t value) {
  if (!Valid(s, address)) return;
  cells_[Idx(s)][address] = IsBitSpace(s) ? static_cast<std::uint16_t>(value != 0) : value;
}

std::optional<Location> GateToLocation(Model model, std::string_view area, unsigned written,
                                       std::string* reason) {
  std::string upper;
  for (char c : area) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  bool known = false;
  for (const char* a : kAreas)
    if (upper == a) known = true;
  if (!known) {
    if (reason) *reason = "unknown area '" + std::string(area) + "'";
    return std::nullopt;
  }
  bool areaOnModel = false;
  for (const GateRow& row : kGateRows) {
    if (row.model != model || upper != row.area) continue;
    areaOnModel = true;
    if (written < row.writtenFirst || written > row.writtenLast) continue;
    if (row.byteAndBit) {
      if (written % 10 > 7) continue;
      return Location{row.space, Linear(written) - Linear(row.writtenFirst) + row.addressFirst};
    }
    return Location{row.space, written - row.writtenFirst + row.addressFirst};
  }
  if (reason) {
    const char* m = model == Model::FA2 ? "FA2" : "FA3";
    if (!areaOnModel)
      *reason = "area " + upper + " does not exist on " + m;
    else
      *reason = upper + " " + std::to_string(written) + " is not a valid address on " + m;
  }
  return std::nullopt;
}

}  // namespace fasim
