// Command line and config file of the fasim program.
#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <functional>

#include "fasim.h"
#include "line.h"
#include "common/line_file.h"
#include "common/nearest_word.h"
#include "memory_file.h"
#include "replay_schedule.h"
#include "text.h"

namespace fasim {
namespace {

using Apply = std::function<std::string(Options&, const std::string&)>;  // "" or the reason

struct Setting {
  const char* name;  // long option name, also the config-file key
  const char* value; // value name in the help, nullptr for a flag
  const char* help;
  Apply apply;
};

std::string Station(Options& o, const std::string& v) {
  const auto colon = v.find(':');
  if (colon == std::string::npos) return "expected N:FA2 or N:FA3";
  const auto n = text::ParseUnsigned(v.substr(0, colon), 255);
  if (!n) return "station number must be 0..255";
  const std::string model = text::Upper(v.substr(colon + 1));
  if (model == "FA2")
    o.stations[static_cast<int>(*n)] = Model::FA2;
  else if (model == "FA3")
    o.stations[static_cast<int>(*n)] = Model::FA3;
  else
    return "unknown model '" + v.substr(colon + 1) + "' (FA2 or FA3)";
  return {};
}

template <typename T>
Apply Number(T Options::*field, std::uint64_t min, std::uint64_t max) {
  return [field, min, max](Options& o, const std::string& v) -> std::string {
    const auto n = text::ParseUnsigned(v, max);
    if (!n || *n < min) return "expected a number " + std::to_string(min) + ".." + std::to_string(max);
    o.*field = static_cast<T>(*n);
    return {};
  };
}

Apply LineNumber(unsigned LineSettings::*field, std::uint64_t min, std::uint64_t max) {
  return [field, min, max](Options& o, const std::string& v) -> std::string {
    const auto n = text::ParseUnsigned(v, max);
    if (!n || *n < min) return "expected a number " + std::to_string(min) + ".." + std::to_string(max);
    o.line.*field = static_cast<unsigned>(*n);
    return {};
  };
}

Apply Probability(double FaultSettings::*field) {
  return [field](Options& o, const std::string& v) -> std::string {
    const auto p = text::ParseProbability(v);
    if (!p) return "expected a probability 0..1";
    o.faults.*field = *p;
    return {};
  };
}

Apply Flag(std::function<void(Options&, bool)> set) {
  return [set](Options& o, const std::string& v) -> std::string {
    const auto b = v.empty() ? std::optional<bool>(true) : text::ParseBool(v);
    if (!b) return "expected yes or no";
    set(o, *b);
    return {};
  };
}

const std::vector<Setting>& Settings() {
  static const std::vector<Setting> kSettings = {
      {"station", "N:MODEL", "a station N (0..255) of model FA2 or FA3; repeat for more", Station},
      {"link", "PATH", "create a pseudo-terminal and symlink its slave at PATH",
       [](Options& o, const std::string& v) -> std::string {
         if (v.size() > kMaxLinkLength) return "link path longer than " + std::to_string(kMaxLinkLength) + " characters";
         o.linkPath = v;
         return {};
       }},
      {"device", "PATH", "serve an existing serial device, configured raw at the line settings",
       [](Options& o, const std::string& v) -> std::string {
         o.devicePath = v;
         return {};
       }},
      {"tcp", "PORT", "listen on 127.0.0.1:PORT, one client at a time",
       [](Options& o, const std::string& v) -> std::string {
         const auto n = text::ParseUnsigned(v, 65535);
         if (!n || *n == 0) return "expected a port 1..65535";
         o.tcpPort = static_cast<unsigned short>(*n);
         o.tcpRequested = true;
         return {};
       }},
      {"baud", "N", "line speed in baud (default 9600)", LineNumber(&LineSettings::baud, 50, 4000000)},
      {"data-bits", "N", "data bits 5..8 (default 8)", LineNumber(&LineSettings::dataBits, 5, 8)},
      {"parity", "P", "parity N, O, E, M or S (default E)",
       [](Options& o, const std::string& v) -> std::string {
         const std::string u = text::Upper(v);
         if (u.size() != 1 || std::string("NOEMS").find(u[0]) == std::string::npos) return "expected N, O, E, M or S";
         o.line.parity = u[0];
         return {};
       }},
      {"stop-bits", "N", "stop bits 1 or 2 (default 1)", LineNumber(&LineSettings::stopBits, 1, 2)},
      {"unpaced", nullptr, "send at once instead of at the line's character time",
       Flag([](Options& o, bool b) { o.line.paced = !b; })},
      {"no-echo", nullptr, "do not echo the master's bytes (4-wire line)",
       Flag([](Options& o, bool b) { o.line.echo = !b; })},
      {"turnaround", "MS", "delay before a station answers, after the last byte of a request (default 0)",
       Number(&Options::turnaroundMs, 0, 600000)},
      {"station-turnaround", "N:MS",
       "station N's own delay before it answers, in place of --turnaround; repeat for more",
       [](Options& o, const std::string& v) -> std::string {
         const auto colon = v.find(':');
         if (colon == std::string::npos) return "expected N:MS";
         const auto n = text::ParseUnsigned(v.substr(0, colon), 255);
         if (!n) return "station number must be 0..255";
         const auto ms = text::ParseUnsigned(v.substr(colon + 1), 600000);
         if (!ms) return "expected milliseconds 0..600000 after the colon";
         o.stationTurnaroundMs[static_cast<int>(*n)] = static_cast<unsigned>(*ms);
         return {};
       }},
      {"memory", "FILE", "initial memory values (format below; default all zero); in a config file, a relative "
       "path is taken from the config file's folder",
       [](Options& o, const std::string& v) -> std::string {
         o.memoryFile = v;
         return {};
       }},
      {"seed", "N", "seed of the fault generator (default 1)",
       [](Options& o, const std::string& v) -> std::string {
         const auto n = text::ParseUnsigned(v, UINT64_MAX);
         if (!n) return "expected a number";
         o.faults.seed = *n;
         return {};
       }},
      {"drop-rate", "P", "probability that an outgoing byte is dropped", Probability(&FaultSettings::dropRate)},
      {"corrupt-rate", "P", "probability that an outgoing byte is corrupted", Probability(&FaultSettings::corruptRate)},
      {"corrupt-as", "WHAT",
       "what a corrupted byte becomes: random (another random byte, the default) or nul (a NUL, as a UART "
       "with parity checking delivers a damaged byte)",
       [](Options& o, const std::string& v) -> std::string {
         const std::string u = text::Upper(v);
         if (u == "RANDOM")
           o.faults.corruptAs = CorruptAs::Random;
         else if (u == "NUL")
           o.faults.corruptAs = CorruptAs::Nul;
         else
           return "expected nul or random";
         return {};
       }},
      {"insert-rate", "P", "probability that a random byte is inserted after an outgoing byte",
       Probability(&FaultSettings::insertRate)},
      {"fault-on", "WHAT", "which outgoing bytes the byte faults hit: echo, reply or both (default both)",
       [](Options& o, const std::string& v) -> std::string {
         const std::string u = text::Upper(v);
         if (u == "ECHO") {
           o.faults.faultEcho = true;
           o.faults.faultReply = false;
         } else if (u == "REPLY") {
           o.faults.faultEcho = false;
           o.faults.faultReply = true;
         } else if (u == "BOTH") {
           o.faults.faultEcho = o.faults.faultReply = true;
         } else {
           return "expected echo, reply or both";
         }
         return {};
       }},
      {"nak-rate", "P", "probability that a request is answered with a Nak (code 7)", Probability(&FaultSettings::nakRate)},
      {"late-rate", "P", "probability that a reply is delayed by --late-ms", Probability(&FaultSettings::lateRate)},
      {"late-ms", "MS", "extra delay of a late reply",
       [](Options& o, const std::string& v) -> std::string {
         const auto n = text::ParseUnsigned(v, 600000);
         if (!n) return "expected milliseconds 0..600000";
         o.faults.lateMs = static_cast<unsigned>(*n);
         return {};
       }},
      {"silent", "N", "station N starts silent (answers nothing); repeat for more",
       [](Options& o, const std::string& v) -> std::string {
         const auto n = text::ParseUnsigned(v, 255);
         if (!n) return "station number must be 0..255";
         o.silentStations.push_back(static_cast<int>(*n));
         return {};
       }},
      {"trace", "FILE", "write the frame trace to FILE",
       [](Options& o, const std::string& v) -> std::string {
         o.traceFile = v;
         return {};
       }},
      {"trace-stderr", nullptr, "write the frame trace to stderr",
       Flag([](Options& o, bool b) { o.traceToStderr = b; })},
      {"trace-limit", "N", "trace records kept in memory (default 10000)",
       [](Options& o, const std::string& v) -> std::string {
         const auto n = text::ParseUnsigned(v, 100000000);
         if (!n || *n == 0) return "expected a number 1..100000000";
         o.traceLimit = static_cast<std::size_t>(*n);
         return {};
       }},
      {"control", "stdin", "read control commands from standard input (EOF ends the program)",
       [](Options& o, const std::string& v) -> std::string {
         if (v != "stdin") return "the only control channel here is 'stdin'";
         o.controlStdin = true;
         return {};
       }},
      {"replay", "FILE", "apply the changes of a recording (qelhost record, qelgate --record) at their times",
       [](Options& o, const std::string& v) -> std::string {
         o.replayFile = v;
         return {};
       }},
      {"speed", "X", "replay X times as fast (default 1; 0.5 is half as fast)",
       [](Options& o, const std::string& v) -> std::string {
         char* end = nullptr;
         const double x = std::strtod(v.c_str(), &end);
         if (v.empty() || end != v.c_str() + v.size() || !(x >= 0.001 && x <= 1000000)) return "expected a speed 0.001..1000000";
         o.replaySpeed = x;
         return {};
       }},
      {"loop", nullptr, "replay again from --from when the recording ends, without end",
       Flag([](Options& o, bool b) { o.replayLoop = b; })},
      {"from", "T", "replay from this far into the recording (90, 90s, 500ms, 5m, 1h30m); what it held before is applied at once",
       [](Options& o, const std::string& v) -> std::string {
         std::int64_t millis = 0;
         std::string error;
         if (!ParseReplayTime(v, millis, error)) return error;
         o.replayFromMillis = millis;
         return {};
       }},
      {"control-socket", "PATH", "accept control commands on a Unix socket at PATH",
       [](Options& o, const std::string& v) -> std::string {
         o.controlSocket = v;
         return {};
       }},
  };
  return kSettings;
}

const Setting* FindSetting(const std::string& name) {
  for (const Setting& s : Settings())
    if (name == s.name) return &s;
  return nullptr;
}

// A file a config file names is where the config file's author sees it:
// beside the config file, wherever fasim is started from.
std::string FromConfigFolder(const std::string& configPath, const std::string& value) {
  const std::filesystem::path named(value);
  if (named.empty() || named.is_absolute()) return value;
  return (std::filesystem::path(configPath).parent_path() / named).string();
}

bool ReadConfigFile(const std::string& path, Options& out, std::string& error) {
  std::vector<qel::common::TextLine> lines;
  if (!qel::common::ReadTextLines(path, lines, error, qel::common::kConfigFile)) {
    error = "cannot read config file: " + error;
    return false;
  }
  for (const qel::common::TextLine& line : lines) {
    const unsigned lineNo = line.number;
    const std::string& t = line.text;
    auto fail = [&](const std::string& reason) {
      error = path + ":" + std::to_string(lineNo) + ": " + reason + ": '" + t + "'";
      return false;
    };
    std::string key, value;
    const auto eq = t.find('=');
    if (eq != std::string::npos) {
      key = std::string(text::Trim(t.substr(0, eq)));
      value = std::string(text::Trim(t.substr(eq + 1)));
    } else {
      const auto w = text::Words(t);
      key = w[0];
      if (w.size() > 2) return fail("expected '<key> <value>'");
      if (w.size() == 2) value = w[1];
    }
    if (key.rfind("--", 0) == 0) key = key.substr(2);
    const Setting* s = FindSetting(key);
    if (s == nullptr || key == "config") return fail("unknown key '" + key + "'");
    if (s->value != nullptr && value.empty()) return fail("missing value");
    if (key == "memory" || key == "trace") value = FromConfigFolder(path, value);
    if (const std::string reason = s->apply(out, value); !reason.empty()) return fail(reason);
  }
  return true;
}

const char* kFooter = R"(
Exactly one of --link, --device and --tcp chooses the line.

Config file (--config FILE): one setting per line, '<key> <value>' or
'<key> = <value>', where the key is a long option name without '--'
(flags take yes/no or nothing). Blank lines and lines starting with '#'
are ignored. Command-line options are applied after the file. A relative
memory or trace path in the file is taken from the file's folder. Example:
  station 1:FA2
  station 2:FA3
  baud 19200
  parity E
  turnaround 5
  station-turnaround 2:40
  memory memory.txt

Memory file (--memory FILE): one initial value per line,
'<station> <area> <number> <value>', the number as written in a gate
address (IO/IR/IM: byte digits then a bit digit 0-7), the value decimal
or 0x-hex, 0/1 for bits. '#' starts a comment line. Example:
  1 DR 10 4660
  1 TM 5 0x1234
  2 IO 157 1
  2 IM 640 1

Replay (--replay FILE.db [--speed X] [--loop] [--from T]): the changes of
a recording made by qelhost record or qelgate --record, applied to the
stations' memory at their times, the first at once (or the line as it stood
at T first, then the changes after T); every station the recording names
must be played here.

Control commands (--control stdin, --control-socket PATH), one per line:
  get <st> <area> <n>           the value in decimal
  set <st> <area> <n> <value>   ok
  force <st> [on|off]           0/1, or ok
  silent <st> [on|off]          0/1, or ok
  trace [clear]                 the trace then "end", or ok
  stations | help
  anything invalid answers "error: <reason>"

Nak error codes: 1 bad checksum, 2 unknown command (or not on this model),
3 address out of range, 4 malformed frame, 7 injected by --nak-rate.
)";

bool Repeatable(const Setting& s) {
  const std::string name = s.name;
  return name == "station" || name == "silent" || name == "station-turnaround";
}


void BuildApp(CLI::App& app, std::string& configFile, std::map<std::string, std::vector<std::string>>& values,
              std::map<std::string, int>& flags) {
  app.description("Simulates FA-2 / FA-3 controllers on a 1/N serial line.");
  app.footer(kFooter);
  app.add_option("--config", configFile, "read settings from FILE (format below)")->type_name("FILE");
  for (const Setting& s : Settings()) {
    const std::string name = std::string("--") + s.name;
    if (s.value == nullptr) {
      app.add_flag(name, flags[s.name], s.help);
    } else {
      CLI::Option* opt = app.add_option(name, values[s.name], s.help)->type_name(s.value);
      if (Repeatable(s))
        opt->take_all();
      else
        opt->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
  }
}

}  // namespace

std::string HelpText() {
  CLI::App app{"fasim", "fasim"};
  std::string config;
  std::map<std::string, std::vector<std::string>> values;
  std::map<std::string, int> flags;
  BuildApp(app, config, values, flags);
  return app.help();
}

ParseResult ParseCommandLine(int argc, char** argv, Options& out, std::string& message) {
  CLI::App app{"fasim", "fasim"};
  std::string configFile;
  std::map<std::string, std::vector<std::string>> values;
  std::map<std::string, int> flags;
  BuildApp(app, configFile, values, flags);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    message = app.help();
    return ParseResult::Help;
  } catch (const CLI::ParseError& e) {
    message = e.what();
    // An option mistyped: the nearest of fasim's own.
    if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
      std::vector<std::string> names;
      for (const CLI::Option* option : app.get_options())
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
      for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || message.find(arg) == std::string::npos) continue;
        const std::string near = qel::common::NearestWord(arg.substr(0, arg.find('=')), names);
        if (!near.empty()) message += "; did you mean " + near + "?";
        break;
      }
    }
    return ParseResult::Error;
  }
  if (!configFile.empty()) {
    if (!ReadConfigFile(configFile, out, message)) return ParseResult::Error;
    out.configFile = configFile;
  }
  for (const Setting& s : Settings()) {
    if (s.value == nullptr) {
      if (flags[s.name] > 0) s.apply(out, "");
      continue;
    }
    for (const std::string& v : values[s.name]) {
      if (const std::string reason = s.apply(out, v); !reason.empty()) {
        message = std::string("--") + s.name + " " + v + ": " + reason;
        return ParseResult::Error;
      }
    }
  }
  if (out.stations.empty()) {
    message = "no stations: give at least one --station N:FA2 or N:FA3";
    return ParseResult::Error;
  }
  const int attaches = (out.linkPath.empty() ? 0 : 1) + (out.devicePath.empty() ? 0 : 1) + (out.tcpRequested ? 1 : 0);
  if (attaches != 1) {
    message = "exactly one of --link, --device and --tcp is required";
    return ParseResult::Error;
  }
  if (out.replayFile.empty() && (out.replaySpeed != 1 || out.replayLoop || out.replayFromMillis != 0)) {
    message = "--speed, --loop and --from are the replay's: give --replay FILE.db with them";
    return ParseResult::Error;
  }
  for (const auto& [station, ms] : out.stationTurnaroundMs) {
    if (out.stations.count(station) == 0) {
      message = "station-turnaround " + std::to_string(station) + ":" + std::to_string(ms) + ": station " +
                std::to_string(station) + " is not configured (give --station " + std::to_string(station) +
                ":MODEL)";
      return ParseResult::Error;
    }
  }
  if (!out.memoryFile.empty()) {
    std::vector<MemoryInit> inits;
    if (!ReadMemoryFile(out.memoryFile, out.stations, inits, message)) return ParseResult::Error;
  }
  return ParseResult::Ok;
}

bool ParseOptions(int argc, char** argv, Options& out, std::string& error) {
  return ParseCommandLine(argc, argv, out, error) == ParseResult::Ok;
}

}  // namespace fasim
