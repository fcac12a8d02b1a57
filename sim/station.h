// One controller on the line: its memory, its force mode, and its answers to
// the request frames addressed to it once it is selected.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "fasim.h"
#include "memory_map.h"

namespace fasim {

// Error-code characters carried in a Nak ('d', code, "00", CR).
namespace nak {
constexpr char kChecksum = '1';        // checksum characters do not match the frame
constexpr char kUnknownCommand = '2';  // unknown command or sub-command, or one this model lacks
constexpr char kOutOfRange = '3';      // address or byte count outside the station's memory
constexpr char kMalformed = '4';       // wrong frame length or a character that is not a digit
constexpr char kInjected = '7';        // a Nak injected by the fault settings
}  // namespace nak

std::string AckFrame();           // "c00" CR
std::string NakFrame(char code);  // "d" code "00" CR

class Station {
 public:
  explicit Station(Model model);

  Model model() const { return memory_.model(); }
  Memory& memory() { return memory_; }
  const Memory& memory() const { return memory_; }
  bool forceMode() const { return force_; }
  void setForceMode(bool on) { force_ = on; }

  struct Answer {
    std::string bytes;                // what the station sends back (may be empty)
    std::size_t expectDataChars = 0;  // a data message of this many characters follows
  };

  // A complete frame (command character ... CR) addressed to this station.
  Answer HandleFrame(std::string_view frame);
  // The data message that follows an acknowledged write header.
  Answer HandleData(std::string_view message);
  void DropPendingWrite() { pending_.reset(); }
  bool WritePending() const { return pending_.has_value(); }

 private:
  struct PendingWrite {
    Space space;
    unsigned address;
    unsigned byteCount;
  };

  Answer ReadElement(std::string_view body);
  Answer ReadPreset(std::string_view body);
  Answer WritePreset(std::string_view body);
  Answer WriteDataRegister(std::string_view body);
  Answer WriteBit(std::string_view body);
  Answer ReadDataBlock(std::string_view body);
  Answer ReadBlock(std::string_view body);
  Answer WriteHeader(std::string_view body);
  Answer ForceBit(std::string_view body);
  Answer ClearForce(std::string_view body);

  std::string BitByte(Space space, unsigned address) const;  // 8 bits from address, as a byte field
  bool BlockInRange(Space space, unsigned address, unsigned byteCount) const;
  std::string BlockData(Space space, unsigned address, unsigned byteCount) const;

  Memory memory_;
  bool force_ = false;
  std::optional<PendingWrite> pending_;
};

}  // namespace fasim
