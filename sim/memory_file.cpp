#include "memory_file.h"

#include "common/line_file.h"

#include "memory_map.h"
#include "text.h"

namespace fasim {

bool ReadMemoryFile(const std::string& path, const std::map<int, Model>& stations,
                    std::vector<MemoryInit>& out, std::string& error) {
  std::vector<qel::common::TextLine> lines;
  if (!qel::common::ReadTextLines(path, lines, error, qel::common::kMemoryFile)) {
    error = "cannot read memory file: " + error;
    return false;
  }
  for (const qel::common::TextLine& line : lines) {
    const unsigned lineNo = line.number;
    const std::string_view t = line.text;
    auto fail = [&](const std::string& reason) {
      error = path + ":" + std::to_string(lineNo) + ": " + reason + ": '" + std::string(t) + "'";
      return false;
    };
    const auto w = text::Words(t);
    if (w.size() != 4) return fail("expected '<station> <area> <number> <value>'");
    const auto station = text::ParseUnsigned(w[0], 255);
    if (!station) return fail("bad station number");
    const auto it = stations.find(static_cast<int>(*station));
    if (it == stations.end()) return fail("station " + w[0] + " is not configured");
    const auto number = text::ParseUnsigned(w[2], 65535);
    if (!number) return fail("bad element number");
    std::string reason;
    const auto loc = GateToLocation(it->second, w[1], static_cast<unsigned>(*number), &reason);
    if (!loc) return fail(reason);
    const auto value = text::ParseUnsigned(w[3], IsBitSpace(loc->space) ? 1 : 65535);
    if (!value) return fail(IsBitSpace(loc->space) ? "a bit value must be 0 or 1" : "bad value (0..65535)");
    out.push_back({static_cast<int>(*station), text::Upper(w[1]), static_cast<unsigned>(*number),
                   static_cast<std::uint16_t>(*value)});
  }
  return true;
}

}  // namespace fasim
