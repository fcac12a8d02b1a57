#include "station.h"

#include "codec.h"

namespace fasim {
namespace {

using codec::kCR;

Station::Answer Nak(char code) { return {NakFrame(code), 0}; }
Station::Answer Ack() { return {AckFrame(), 0}; }

// True when the two checksum characters at `at` match the digit sum of
// body[1 .. at-1].
bool ChecksumOk(std::string_view body, std::size_t at) {
  return codec::ByteField(codec::DigitSum(body.substr(1, at - 1))) == body.substr(at, 2);
}

// Sub-commands of the FA3 block frames.
std::optional<Space> Fa3SubCommand(std::string_view sub) {
  if (sub == "41") return Space::TM;
  if (sub == "42") return Space::CT;
  if (sub == "44") return Space::DR;
  if (sub == "43") return Space::CP;
  if (sub == "54") return Space::TP;
  if (sub == "58") return Space::Fa3IoGroup1;
  if (sub == "59") return Space::Fa3IoGroup2;
  if (sub == "4=") return Space::Fa3IrIm;
  if (sub == "52") return Space::SR;
  return std::nullopt;
}

std::string WithChecksum(char code, const std::string& data) {
  std::string out(1, code);
  out += data;
  out += codec::ByteField(codec::DigitSum(data));
  out += kCR;
  return out;
}

}  // namespace

std::string AckFrame() { return std::string("c00") + kCR; }

std::string NakFrame(char code) {
  std::string s = "d";
  s += code;
  s += "00";
  s += kCR;
  return s;
}

Station::Station(Model model) : memory_(model) {}

Station::Answer Station::HandleFrame(std::string_view frame) {
  pending_.reset();
  if (frame.empty() || frame.back() != kCR) return Nak(nak::kMalformed);
  const std::string_view body = frame.substr(0, frame.size() - 1);
  if (body.empty()) return Nak(nak::kMalformed);
  const bool fa2 = model() == Model::FA2;
  const char cmd = body[0];
  const char sub = body.size() > 1 ? body[1] : '\0';

  Answer (Station::*handler)(std::string_view) = nullptr;
  bool forFa2 = true;
  switch (cmd) {
    case 'R': handler = &Station::ReadElement; break;
    case 'Y':
    case 'Z': handler = &Station::ReadPreset; break;
    case 'T':
    case 'S': handler = &Station::WritePreset; break;
    case '[': handler = &Station::WriteBit; break;
    case ']':
      if (sub == '1') {
        handler = &Station::ReadDataBlock;
      } else if (sub == '4') {
        handler = &Station::ReadBlock;
        forFa2 = false;
      }
      break;
    case '\\':
      forFa2 = false;
      if (sub == '2') {
        handler = &Station::WriteDataRegister;
        forFa2 = true;
      } else if (sub == '4' || sub == '5') {
        handler = &Station::WriteHeader;
      } else if (sub == '6') {
        handler = &Station::ForceBit;
      } else if (sub == '8') {
        handler = &Station::ClearForce;
      }
      break;
    default: break;
  }
  if (handler == nullptr || forFa2 != fa2) return Nak(nak::kUnknownCommand);
  if (!codec::AllDigits(body.substr(1))) return Nak(nak::kMalformed);
  return (this->*handler)(body);
}

// 'R' subcode address(byte) checksum: one element of an FA2 station.
Station::Answer Station::ReadElement(std::string_view body) {
  Space space = Space::TM;
  char code = 0;
  bool word = false;
  unsigned offset = 0;
  switch (body[1]) {
    case '1': space = Space::Fa2Io; code = 'f'; break;
    case '2': space = Space::Fa2IrLow; code = 'g'; break;
    case '>': space = Space::Fa2IrHigh; code = 'f'; break;
    case '?': space = Space::Fa2IrExt; code = 'g'; break;
    case '3': space = Space::SR; code = 'h'; break;
    case '4': space = Space::TM; code = 'i'; word = true; break;
    case '5': space = Space::CT; code = 'j'; word = true; break;
    case '7': space = Space::DR; code = 'p'; word = true; break;
    case '8': space = Space::DR; code = 'p'; word = true; offset = 256; break;
    default: return Nak(nak::kUnknownCommand);
  }
  if (body.size() != 6) return Nak(nak::kMalformed);
  if (!ChecksumOk(body, 4)) return Nak(nak::kChecksum);
  const unsigned address = *codec::ParseByte(body.substr(2, 2)) + offset;
  if (!memory_.Valid(space, address)) return Nak(nak::kOutOfRange);
  if (word) return {WithChecksum(code, codec::WordFieldHigh(memory_.Get(space, address))), 0};
  return {WithChecksum(code, BitByte(space, address)), 0};
}

// 'Z' (CP) or 'Y' (TP), element(byte), checksum.
Station::Answer Station::ReadPreset(std::string_view body) {
  if (body.size() != 5) return Nak(nak::kMalformed);
  if (!ChecksumOk(body, 3)) return Nak(nak::kChecksum);
  const Space space = body[0] == 'Z' ? Space::CP : Space::TP;
  const unsigned element = *codec::ParseByte(body.substr(1, 2));
  if (!memory_.Valid(space, element)) return Nak(nak::kOutOfRange);
  return {WithChecksum(body[0] == 'Z' ? 'm' : 'l', codec::WordFieldHigh(memory_.Get(space, element))), 0};
}

// 'T' (CP) or 'S' (TP), element(byte), value(word, high byte first), checksum.
Station::Answer Station::WritePreset(std::string_view body) {
  if (body.size() != 9) return Nak(nak::kMalformed);
  if (!ChecksumOk(body, 7)) return Nak(nak::kChecksum);
  const Space space = body[0] == 'T' ? Space::CP : Space::TP;
  const unsigned element = *codec::ParseByte(body.substr(1, 2));
  if (!memory_.Valid(space, element)) return Nak(nak::kOutOfRange);
  memory_.Put(space, element, *codec::ParseWordHigh(body.substr(3, 4)));
  return Ack();
}

// '\' '2', '7' (below 256) or '8' (256 and up), element(byte), value(word), checksum.
Station::Answer Station::WriteDataRegister(std::string_view body) {
  if (body.size() != 11) return Nak(nak::kMalformed);
  if (body[2] != '7' && body[2] != '8') return Nak(nak::kUnknownCommand);
  if (!ChecksumOk(body, 9)) return Nak(nak::kChecksum);
  const unsigned element = *codec::ParseByte(body.substr(3, 2)) + (body[2] == '8' ? 256u : 0u);
  if (!memory_.Valid(Space::DR, element)) return Nak(nak::kOutOfRange);
  memory_.Put(Space::DR, element, *codec::ParseWordHigh(body.substr(5, 4)));
  return Ack();
}

// '[' subcode address(byte) checksum: set (subcode '9'..'=') or reset ('1'..'5') one bit.
Station::Answer Station::WriteBit(std::string_view body) {
  if (body.size() < 2) return Nak(nak::kMalformed);
  Space space = Space::SR;
  bool set = false;
  switch (body[1]) {
    case '1': space = Space::Fa2Io; break;
    case '9': space = Space::Fa2Io; set = true; break;
    case '2': space = Space::Fa2IrLow; break;
    case ':': space = Space::Fa2IrLow; set = true; break;
    case '4': space = Space::Fa2IrHigh; break;
    case '<': space = Space::Fa2IrHigh; set = true; break;
    case '5': space = Space::Fa2IrExt; break;
    case '=': space = Space::Fa2IrExt; set = true; break;
    case '3': space = Space::SR; break;
    case ';': space = Space::SR; set = true; break;
    default: return Nak(nak::kUnknownCommand);
  }
  if (body.size() != 6) return Nak(nak::kMalformed);
  if (!ChecksumOk(body, 4)) return Nak(nak::kChecksum);
  const unsigned address = *codec::ParseByte(body.substr(2, 2));
  if (!memory_.Valid(space, address)) return Nak(nak::kOutOfRange);
  memory_.Put(space, address, set ? 1 : 0);
  return Ack();
}

// ']' '1' byte address(word, 0x8200 + 2 x element) byte count(byte) checksum:
// a block of FA2 data registers; Ack, then the data, a checksum and CR.
Station::Answer Station::ReadDataBlock(std::string_view body) {
  if (body.size() != 10) return Nak(nak::kMalformed);
  if (!ChecksumOk(body, 8)) return Nak(nak::kChecksum);
  const unsigned byteAddress = *codec::ParseWordHigh(body.substr(2, 4));
  const unsigned byteCount = *codec::ParseByte(body.substr(6, 2));
  if (byteAddress < 0x8200 || (byteAddress - 0x8200) % 2 != 0 || byteCount == 0 || byteCount % 2 != 0)
    return Nak(nak::kOutOfRange);
  const unsigned element = (byteAddress - 0x8200) / 2;
  if (!BlockInRange(Space::DR, element, byteCount)) return Nak(nak::kOutOfRange);
  const std::string data = BlockData(Space::DR, element, byteCount);
  return {AckFrame() + data + codec::ByteField(codec::DigitSum(data)) + kCR, 0};
}

// ']' '4' sub-command address(word) byte count(word) checksum: every FA3 read.
Station::Answer Station::ReadBlock(std::string_view body) {
  if (body.size() != 14) return Nak(nak::kMalformed);
  const auto space = Fa3SubCommand(body.substr(2, 2));
  if (!space) return Nak(nak::kUnknownCommand);
  if (!ChecksumOk(body, 12)) return Nak(nak::kChecksum);
  const unsigned address = *codec::ParseWordHigh(body.substr(4, 4));
  const unsigned byteCount = *codec::ParseWordHigh(body.substr(8, 4));
  if (!BlockInRange(*space, address, byteCount)) return Nak(nak::kOutOfRange);
  const std::string data = BlockData(*space, address, byteCount);
  return {AckFrame() + data + codec::ByteField(codec::DigitSum(data)) + kCR, 0};
}

// '\' '4' (words) or '5' (bits), sub-command, address, byte count, checksum:
// Ack, then the data message follows.
Station::Answer Station::WriteHeader(std::string_view body) {
  if (body.size() != 14) return Nak(nak::kMalformed);
  const auto space = Fa3SubCommand(body.substr(2, 2));
  if (!space) return Nak(nak::kUnknownCommand);
  const bool wordHeader = body[1] == '4';
  const bool writableWord = *space == Space::DR || *space == Space::CP || *space == Space::TP;
  if (wordHeader ? !writableWord : !IsBitSpace(*space)) return Nak(nak::kUnknownCommand);
  if (!ChecksumOk(body, 12)) return Nak(nak::kChecksum);
  const unsigned address = *codec::ParseWordHigh(body.substr(4, 4));
  const unsigned byteCount = *codec::ParseWordHigh(body.substr(8, 4));
  if (!BlockInRange(*space, address, byteCount)) return Nak(nak::kOutOfRange);
  pending_ = PendingWrite{*space, address, byteCount};
  return {AckFrame(), 2 * static_cast<std::size_t>(byteCount) + 2};
}

// The data bytes as byte fields, then their 8-bit sum; no CR.
Station::Answer Station::HandleData(std::string_view message) {
  if (!pending_) return Nak(nak::kUnknownCommand);
  const PendingWrite w = *pending_;
  pending_.reset();
  if (message.size() != 2 * static_cast<std::size_t>(w.byteCount) + 2) return Nak(nak::kMalformed);
  std::string bytes;
  unsigned sum = 0;
  for (unsigned i = 0; i < w.byteCount; ++i) {
    const auto b = codec::ParseByte(message.substr(2 * i, 2));
    if (!b) return Nak(nak::kMalformed);
    bytes += static_cast<char>(*b);
    sum += *b;
  }
  const auto check = codec::ParseByte(message.substr(2 * w.byteCount, 2));
  if (!check) return Nak(nak::kMalformed);
  if (*check != (sum & 0xFFu)) return Nak(nak::kChecksum);
  auto byteAt = [&](unsigned i) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[i])); };
  if (!IsBitSpace(w.space)) {
    for (unsigned i = 0; i + 1 < w.byteCount; i += 2)
      memory_.Put(w.space, w.address + i / 2, static_cast<std::uint16_t>(byteAt(i) | (byteAt(i + 1) << 8)));
  } else if (w.byteCount == 1) {
    memory_.Put(w.space, w.address, static_cast<std::uint16_t>(byteAt(0) & 1u));
  } else {
    for (unsigned bit = 0; bit < 8 * w.byteCount; ++bit)
      memory_.Put(w.space, w.address + bit, static_cast<std::uint16_t>((byteAt(bit / 8) >> (bit % 8)) & 1u));
  }
  return Ack();
}

// '\' '6' sub-command address(word) '0'/'1' checksum: forced bit write.
Station::Answer Station::ForceBit(std::string_view body) {
  if (body.size() != 11) return Nak(nak::kMalformed);
  const auto space = Fa3SubCommand(body.substr(2, 2));
  if (!space || (*space != Space::Fa3IoGroup1 && *space != Space::Fa3IoGroup2 && *space != Space::Fa3IrIm))
    return Nak(nak::kUnknownCommand);
  if (body[8] != '0' && body[8] != '1') return Nak(nak::kMalformed);
  if (!ChecksumOk(body, 9)) return Nak(nak::kChecksum);
  const unsigned address = *codec::ParseWordHigh(body.substr(4, 4));
  if (!memory_.Valid(*space, address)) return Nak(nak::kOutOfRange);
  force_ = true;
  memory_.Put(*space, address, body[8] == '1' ? 1 : 0);
  return Ack();
}

// '\' "8008": leave force mode.
Station::Answer Station::ClearForce(std::string_view body) {
  if (body != "\\8008") return Nak(nak::kMalformed);
  force_ = false;
  return Ack();
}

std::string Station::BitByte(Space space, unsigned address) const {
  unsigned byte = 0;
  for (unsigned i = 0; i < 8; ++i)
    if (memory_.Get(space, address + i) != 0) byte |= 1u << i;
  return codec::ByteField(byte);
}

bool Station::BlockInRange(Space space, unsigned address, unsigned byteCount) const {
  if (byteCount == 0 || byteCount > 256 || !memory_.Valid(space, address)) return false;
  if (IsBitSpace(space)) {
    // A single byte may run past the end (the missing bits read 0); longer
    // blocks must lie inside the space.
    return byteCount == 1 || address + 8 * byteCount <= memory_.End(space);
  }
  return byteCount % 2 == 0 && address + byteCount / 2 <= memory_.End(space);
}

std::string Station::BlockData(Space space, unsigned address, unsigned byteCount) const {
  std::string data;
  if (IsBitSpace(space)) {
    for (unsigned i = 0; i < byteCount; ++i) data += BitByte(space, address + 8 * i);
  } else {
    for (unsigned i = 0; i < byteCount / 2; ++i) data += codec::WordFieldLow(memory_.Get(space, address + i));
  }
  return data;
}

}  // namespace fasim
