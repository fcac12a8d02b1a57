// Controller memory, kept in each model's own address spaces (the addresses
// that travel in the frames), and the mapping from gate-address notation
// ("IO 157", "IR 2200", "IM 640") onto those spaces.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fasim.h"

namespace fasim {

// Address spaces. Word spaces hold 16-bit values, bit spaces 0/1.
enum class Space : int {
  TM,
  CT,
  DR,
  CP,
  TP,
  WO,
  SR,
  Fa2Io,        // FA2 inputs/outputs: 256 bits (read subcode '1')
  Fa2IrLow,     // FA2 internal relays, subcode '2': addresses 0-239
  Fa2IrHigh,    // FA2 internal relays, subcode '>': addresses 128-255
  Fa2IrExt,     // FA2 internal relays, subcode '?': addresses 0-239
  Fa3IoGroup1,  // FA3 IO group "58": 256 bits
  Fa3IoGroup2,  // FA3 IO group "59": 256 bits
  Fa3IrIm,      // FA3 internal relays and IM: one space of 1056 bits
  Count
};

bool IsBitSpace(Space s);
const char* SpaceName(Space s);

class Memory {
 public:
  explicit Memory(Model model);
  Model model() const { return model_; }

  // True when `address` exists in space `s` on this model.
  bool Valid(Space s, unsigned address) const;
  // First address past the end of the space (0: the model has no such space).
  unsigned End(Space s) const;

  std::uint16_t Get(Space s, unsigned address) const;  // 0 for an invalid address
  void Put(Space s, unsigned address, std::uint16_t value);  // ignored when invalid; bits store 0/1

 private:
  Model model_;
  std::array<unsigned, static_cast<int>(Space::Count)> first_{};
  std::array<unsigned, static_cast<int>(Space::Count)> end_{};
  std::array<std::vector<std::uint16_t>, static_cast<int>(Space::Count)> cells_;
};

struct Location {
  Space space;
  unsigned address;
};

// Maps an area mnemonic (case-insensitive) and a number as written in a gate
// address onto a memory location of a station of the given model. nullopt
// with *reason set when the area or the number does not exist on that model.
std::optional<Location> GateToLocation(Model model, std::string_view area, unsigned written,
                                       std::string* reason = nullptr);

}  // namespace fasim
