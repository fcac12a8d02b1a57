// fasim: a simulator of FA-2 / FA-3 controllers on a 1/N serial multidrop line.
//
// The simulator answers a master (the driver) over a pseudo-terminal, a serial
// device or a TCP socket, echoes every byte it receives as a 2-wire RS-485
// line does, paces its output at the configured line settings and can inject
// faults. Tests drive it through this header; the `fasim` program wraps it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fasim {

enum class Model { FA2, FA3 };

struct LineSettings {
  unsigned baud = 9600;
  unsigned dataBits = 8;
  char parity = 'E';  // N, O, E, M, S
  unsigned stopBits = 1;
  bool paced = true;  // false: every byte goes out at once
  bool echo = true;   // echo every received byte back (2-wire line)
};

// What a corrupted byte becomes: a random other byte, or the NUL that a UART
// with parity checking hands over for a damaged character.
enum class CorruptAs { Random, Nul };

struct FaultSettings {
  std::uint64_t seed = 1;
  double dropRate = 0, corruptRate = 0, insertRate = 0;  // per byte the simulator sends
  bool faultEcho = true, faultReply = true;              // which outgoing bytes the above apply to
  double nakRate = 0;                                    // per request frame
  double lateRate = 0;                                   // per reply: probability of a late reply
  unsigned lateMs = 0;                                   // extra delay of a late reply
  CorruptAs corruptAs = CorruptAs::Random;
};

// One fault the simulator injected, for programs that judge what the master
// made of it. `frame` is what would have been sent without the fault and
// `offset` the position in it of the byte concerned (for an insertion: of the
// byte the inserted one follows).
struct FaultEvent {
  enum class Kind { Drop, Corrupt, Insert, Nak, Late };
  Kind kind = Kind::Corrupt;
  bool echo = false;     // the fault hit an echoed byte, not a reply
  int station = -1;      // the station selected when it happened
  std::string frame;
  std::size_t offset = 0;
  char from = 0, to = 0; // the byte before and after (Corrupt), the inserted byte (Insert)
};

struct Options {
  std::map<int, Model> stations;
  LineSettings line;
  unsigned turnaroundMs = 0;
  // A station's own turnaround, in place of turnaroundMs (a line's twin
  // plays each station as slow as the one it was taken from).
  std::map<int, unsigned> stationTurnaroundMs;
  FaultSettings faults;
  std::string traceFile;  // empty: no trace file
  bool traceToStderr = false;
  std::string memoryFile;  // initial values, empty: all zero

  // Additional settings (used by the `fasim` program; the library ignores
  // the attach and control fields, which the caller acts on).
  std::vector<int> silentStations;     // stations that start silent
  std::size_t traceLimit = 10000;      // records kept in memory (oldest dropped)
  std::string configFile;              // the config file that was read, if any
  std::string linkPath;                // --link
  std::string devicePath;              // --device
  unsigned short tcpPort = 0;          // --tcp (0: not used)
  bool tcpRequested = false;           // --tcp was given
  bool controlStdin = false;           // --control stdin
  std::string controlSocket;           // --control-socket
  std::string replayFile;              // --replay: a recording to play (replay.h)
  double replaySpeed = 1;              // --speed
  bool replayLoop = false;             // --loop
  long long replayFromMillis = 0;      // --from
};

struct TraceRecord {
  long long ms;      // milliseconds since the simulator started
  bool fromMaster;   // true: frame received from the master; false: sent by the simulator
  int station;       // station concerned, -1 when none is selected
  std::string bytes; // raw bytes of the frame
  std::string note;  // empty, or e.g. "ignored", "nak-injected", "late", "echo-faulted", "discarded"
  std::string Readable() const;  // one line: time, direction, station, bytes with <CR> etc.
};

class Simulator {
 public:
  explicit Simulator(Options options);
  ~Simulator();  // stops and removes the link
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Attach the line and start answering on a thread of its own. Only one
  // attach at a time; false (and *error set) when it fails.
  bool StartPty(const std::string& linkPath, std::string* error = nullptr);
  bool StartDevice(const std::string& devicePath, std::string* error = nullptr);
  bool StartTcp(unsigned short port, std::string* error = nullptr);  // port 0: any free port
  void Stop();

  // Addresses use the gate-address notation: area mnemonic ("TM", "CT", "DR",
  // "CP", "TP", "IO", "IR", "IM", "SR", "WO") and the number as written in a
  // gate address ("IO 157" is byte 15 bit 7). nullopt / false when the
  // station is not configured or the address does not exist on its model.
  std::optional<std::uint16_t> Get(int station, std::string_view area, unsigned writtenNumber) const;
  bool Set(int station, std::string_view area, unsigned writtenNumber, std::uint16_t value);
  // Consecutive words from writtenNumber on, all at once: no frame is
  // answered between them (a 32-bit value changes whole). False, and
  // nothing set, when any of the addresses does not exist.
  bool SetWords(int station, std::string_view area, unsigned writtenNumber, const std::vector<std::uint16_t>& values);
  bool ForceMode(int station) const;
  void SetForceMode(int station, bool on);
  void SetSilent(int station, bool silent);
  bool Silent(int station) const;

  // Replaces the fault settings (the generator is seeded anew from them).
  void SetFaults(const FaultSettings& faults);
  // Faults injected since the last call (recorded only while recording is on).
  void RecordFaults(bool on);
  std::vector<FaultEvent> TakeFaultEvents();

  std::vector<TraceRecord> Trace() const;  // frames in and out, oldest first
  void ClearTrace();
  std::string Execute(std::string_view commandLine);  // the text control protocol

  // Extras.
  unsigned short TcpPort() const;   // the port actually listened on (after StartTcp)
  std::string SlavePath() const;    // the pty slave device (after StartPty)
  bool Running() const;
  const Options& GetOptions() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Parses the command line (and the config file it names) into `out`.
// Returns false with a one-line message in `error` on bad input (and for
// --help, with the help text in `error`; ParseCommandLine tells them apart).
bool ParseOptions(int argc, char** argv, Options& out, std::string& error);

enum class ParseResult { Ok, Help, Error };
ParseResult ParseCommandLine(int argc, char** argv, Options& out, std::string& message);
std::string HelpText();

}  // namespace fasim
