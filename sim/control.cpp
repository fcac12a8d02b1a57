#include "control.h"

#include <sstream>

#include "fasim.h"
#include "memory_map.h"
#include "text.h"

namespace fasim {
namespace {

std::string Error(const std::string& reason) { return "error: " + reason; }

}  // namespace

const char* ControlHelp() {
  return "commands: get <st> <area> <n> | set <st> <area> <n> <value>... | force <st> [on|off] | "
         "silent <st> [on|off] | nak-rate [P] | trace [clear] | stations | help";
}

std::string RunControlCommand(Simulator& sim, std::string_view line) {
  const auto w = text::Words(line);
  if (w.empty()) return Error("empty command");
  const std::string cmd = text::Upper(w[0]);
  const auto& stations = sim.GetOptions().stations;

  auto station = [&](const std::string& s, int* out) -> std::string {
    const auto n = text::ParseUnsigned(s, 255);
    if (!n) return "bad station '" + s + "'";
    if (stations.find(static_cast<int>(*n)) == stations.end()) return "station " + s + " is not configured";
    *out = static_cast<int>(*n);
    return {};
  };

  if (cmd == "GET" || cmd == "SET") {
    const std::size_t want = cmd == "GET" ? 4 : 5;
    if (cmd == "GET" ? w.size() != want : w.size() < want)
      return Error(cmd == "GET" ? "usage: get <station> <area> <number>"
                                : "usage: set <station> <area> <number> <value>");
    int st = 0;
    if (auto e = station(w[1], &st); !e.empty()) return Error(e);
    const auto number = text::ParseUnsigned(w[3], 65535);
    if (!number) return Error("bad number '" + w[3] + "'");
    std::string reason;
    const auto loc = GateToLocation(stations.at(st), w[2], static_cast<unsigned>(*number), &reason);
    if (!loc) return Error(reason);
    if (cmd == "GET") {
      const auto v = sim.Get(st, w[2], static_cast<unsigned>(*number));
      if (!v) return Error("no such address");
      return std::to_string(*v);
    }
    const bool bit = IsBitSpace(loc->space);
    if (w.size() > want) {
      // Several words at once: consecutive elements of a word area.
      if (bit) return Error("a set of several values is for words; set bits one by one");
      std::vector<std::uint16_t> values;
      for (std::size_t i = 4; i < w.size(); ++i) {
        const auto v = text::ParseUnsigned(w[i], 65535);
        if (!v) return Error("bad value '" + w[i] + "' (0..65535)");
        values.push_back(static_cast<std::uint16_t>(*v));
      }
      if (!sim.SetWords(st, w[2], static_cast<unsigned>(*number), values)) return Error("no such address");
      return "ok";
    }
    const auto value = text::ParseUnsigned(w[4], bit ? 1 : 65535);
    if (!value) return Error(bit ? "a bit value must be 0 or 1" : "bad value '" + w[4] + "' (0..65535)");
    if (!sim.Set(st, w[2], static_cast<unsigned>(*number), static_cast<std::uint16_t>(*value)))
      return Error("no such address");
    return "ok";
  }

  if (cmd == "FORCE" || cmd == "SILENT") {
    if (w.size() != 2 && w.size() != 3) return Error("usage: " + text::Upper(w[0]) + " <station> [on|off]");
    int st = 0;
    if (auto e = station(w[1], &st); !e.empty()) return Error(e);
    if (w.size() == 2) {
      const bool on = cmd == "FORCE" ? sim.ForceMode(st) : sim.Silent(st);
      return on ? "1" : "0";
    }
    const auto on = text::ParseBool(w[2]);
    if (!on) return Error("expected on or off, got '" + w[2] + "'");
    if (cmd == "FORCE")
      sim.SetForceMode(st, *on);
    else
      sim.SetSilent(st, *on);
    return "ok";
  }

  if (cmd == "NAK-RATE") {
    if (w.size() == 1) {
      std::ostringstream out;
      out << sim.GetOptions().faults.nakRate;
      return out.str();
    }
    if (w.size() != 2) return Error("usage: nak-rate [probability]");
    const auto rate = text::ParseProbability(w[1]);
    if (!rate) return Error("bad probability '" + w[1] + "' (0..1)");
    FaultSettings faults = sim.GetOptions().faults;
    faults.nakRate = *rate;
    sim.SetFaults(faults);
    return "ok";
  }

  if (cmd == "TRACE") {
    if (w.size() == 2 && text::Upper(w[1]) == "CLEAR") {
      sim.ClearTrace();
      return "ok";
    }
    if (w.size() != 1) return Error("usage: trace [clear]");
    std::string out;
    for (const TraceRecord& r : sim.Trace()) out += r.Readable() + "\n";
    return out + "end";
  }

  if (cmd == "STATIONS" && w.size() == 1) {
    std::string out;
    for (const auto& [n, model] : stations) {
      if (!out.empty()) out += ' ';
      out += std::to_string(n) + (model == Model::FA2 ? ":FA2" : ":FA3");
    }
    return out;
  }

  if (cmd == "HELP") return ControlHelp();
  return Error("unknown command '" + w[0] + "'");
}

}  // namespace fasim
