// The simulator: owns the bus, the fault injector and the trace, attaches a
// line and serves it on a thread of its own.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include "bus.h"
#include "control.h"
#include "faults.h"
#include "fasim.h"
#include "line.h"
#include "memory_file.h"
#include "memory_map.h"
#include "trace.h"

namespace fasim {

struct Simulator::Impl {
  enum class Mode { None, Pty, Device, Tcp };

  explicit Impl(Options o)
      : options(std::move(o)),
        bus(options.stations),
        faults(options.faults),
        trace(options.traceLimit, options.traceFile, options.traceToStderr),
        start(Clock::now()) {
    if (!trace.ok()) initError = trace.fileError();
    for (int s : options.silentStations) bus.SetSilent(s, true);
    if (!options.memoryFile.empty()) {
      std::vector<MemoryInit> inits;
      if (!ReadMemoryFile(options.memoryFile, options.stations, inits, initError)) return;
      for (const MemoryInit& m : inits) SetLocked(m.station, m.area, m.number, m.value);
    }
  }

  bool SetLocked(int station, std::string_view area, unsigned number, std::uint16_t value) {
    Station* s = bus.Find(station);
    if (s == nullptr) return false;
    const auto loc = GateToLocation(s->model(), area, number);
    if (!loc) return false;
    s->memory().Put(loc->space, loc->address, value);
    return true;
  }

  long long Ms(Clock::time_point t) const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t - start).count();
  }

  bool Begin(Mode m, std::string* error) {
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
      if (error) *error = "pipe failed";
      return false;
    }
    mode = m;
    running = true;
    thread = std::thread([this] { Run(); });
    return true;
  }

  bool CheckStartable(std::string* error) {
    if (mode != Mode::None) {
      if (error) *error = "the simulator is already attached";
      return false;
    }
    if (!initError.empty()) {
      if (error) *error = initError;
      return false;
    }
    return true;
  }

  void Stop() {
    if (mode == Mode::None) return;
    const char c = 'q';
    if (write(wake[1], &c, 1) < 0) {
      // The pipe is non-blocking and the thread drains it; nothing to do.
    }
    if (thread.joinable()) thread.join();
    running = false;
    auto closeFd = [](int& fd) {
      if (fd >= 0) close(fd);
      fd = -1;
    };
    closeFd(ioFd);
    closeFd(clientFd);
    closeFd(listenFd);
    closeFd(pty.slave);
    pty.master = -1;  // the same descriptor as ioFd
    closeFd(wake[0]);
    closeFd(wake[1]);
    if (!linkPath.empty()) RemoveLink(linkPath, pty.slavePath, pty.lockFd);
    linkPath.clear();
    mode = Mode::None;
  }

  // Processes bytes received from the master: echo, frames, replies.
  void Process(const char* data, std::size_t n, PacedWriter& writer) {
    const Clock::time_point now = Clock::now();
    const auto turnaroundOf = [this](int station) {
      const auto own = options.stationTurnaroundMs.find(station);
      return std::chrono::milliseconds(own != options.stationTurnaroundMs.end() ? own->second : options.turnaroundMs);
    };
    std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t i = 0; i < n; ++i) {
      const char c = data[i];
      faults.At(bus.selected());
      if (options.line.echo) {
        bool changed = false;
        const std::string echo = faults.Apply(std::string(1, c), true, &changed);
        writer.Enqueue(echo, now);
        if (changed) trace.Add({Ms(now), false, bus.selected(), echo, "echo-faulted"});
      }
      const auto injectNak = [this] {
        if (!faults.InjectNak()) return false;
        faults.Note({FaultEvent::Kind::Nak, false, -1, {}, 0, 0, 0});
        return true;
      };
      for (BusEvent& ev : bus.Feed(c, injectNak)) {
        faults.At(ev.station);
        trace.Add({Ms(now), true, ev.station, ev.in, ev.reply.empty() ? ev.note : std::string()});
        if (ev.reply.empty()) continue;
        std::string note = ev.note;
        auto addNote = [&note](const char* s) {
          if (!note.empty()) note += ", ";
          note += s;
        };
        Clock::time_point at = now + turnaroundOf(ev.station);
        if (faults.ReplyLate()) {
          at += std::chrono::milliseconds(faults.lateMs());
          addNote("late");
          faults.Note({FaultEvent::Kind::Late, false, -1, ev.reply, 0, 0, 0});
        }
        bool changed = false;
        const std::string out = faults.Apply(ev.reply, false, &changed);
        if (changed) addNote("faulted");
        writer.Enqueue(out, at);
        trace.Add({Ms(at), false, ev.station, out, note});
      }
    }
  }

  void ResetLine(PacedWriter& writer) {
    writer.Clear();
    std::lock_guard<std::mutex> lock(mutex);
    bus.Reset();
  }

  void Run() {
    PacedWriter writer(CharacterTime(options.line));
    bool blocked = false;
    char buf[512];
    for (;;) {
      pollfd fds[2] = {};
      fds[0] = {wake[0], POLLIN, 0};
      nfds_t count = 1;
      const bool listening = mode == Mode::Tcp && clientFd < 0;
      const int dataFd = mode == Mode::Tcp ? clientFd : ioFd;
      if (listening) {
        fds[count++] = {listenFd, POLLIN, 0};
      } else if (dataFd >= 0) {
        short ev = POLLIN;
        if (blocked && !writer.Empty()) ev = static_cast<short>(ev | POLLOUT);
        fds[count++] = {dataFd, ev, 0};
      }
      timespec ts{};
      timespec* tsp = nullptr;
      if (!writer.Empty()) {
        auto wait = blocked ? std::chrono::nanoseconds(std::chrono::milliseconds(20))
                            : std::chrono::duration_cast<std::chrono::nanoseconds>(writer.NextDue() - Clock::now());
        if (wait.count() < 0) wait = std::chrono::nanoseconds(0);
        ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
        ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
        tsp = &ts;
      }
      const int r = ppoll(fds, count, tsp, nullptr);
      if (r < 0 && errno != EINTR) break;
      if (r > 0 && (fds[0].revents & POLLIN) != 0) break;  // Stop()
      if (r > 0 && count > 1 && fds[1].revents != 0) {
        if (listening) {
          const int c = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (c >= 0) {
            clientFd = c;
            ResetLine(writer);
            blocked = false;
          }
          continue;
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
          const ssize_t n = read(dataFd, buf, sizeof buf);
          if (n > 0) {
            Process(buf, static_cast<std::size_t>(n), writer);
          } else if (mode == Mode::Tcp && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
            close(clientFd);
            clientFd = -1;
            ResetLine(writer);
            blocked = false;
            continue;
          } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // No peer on the pty or the device reported a hang-up: wait a little.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
        }
      }
      const int outFd = mode == Mode::Tcp ? clientFd : ioFd;
      if (outFd >= 0 && !writer.Empty()) {
        if (!writer.Flush(outFd, Clock::now(), &blocked)) {
          if (mode == Mode::Tcp) {
            close(clientFd);
            clientFd = -1;
            ResetLine(writer);
            blocked = false;
          } else {
            writer.Clear();
          }
        }
      } else if (outFd < 0) {
        writer.Clear();
      }
    }
  }

  Options options;
  mutable std::mutex mutex;
  Bus bus;
  FaultInjector faults;
  bool recordFaults = false;
  TraceLog trace;
  Clock::time_point start;
  std::string initError;

  Mode mode = Mode::None;
  std::thread thread;
  std::atomic<bool> running{false};
  int wake[2] = {-1, -1};
  PtyHandles pty;
  std::string linkPath;
  int ioFd = -1;
  int listenFd = -1;
  int clientFd = -1;
  unsigned short tcpPort = 0;
};

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::StartPty(const std::string& linkPath, std::string* error) {
  if (!impl_->CheckStartable(error)) return false;
  std::string err;
  PtyHandles pty;
  if (!OpenPty(linkPath, pty, err)) {
    if (error) *error = err;
    return false;
  }
  impl_->pty = pty;
  impl_->ioFd = pty.master;
  impl_->linkPath = linkPath;
  if (!impl_->Begin(Impl::Mode::Pty, error)) {
    close(pty.master);
    close(pty.slave);
    RemoveLink(linkPath, pty.slavePath, pty.lockFd);
    impl_->pty = {};
    impl_->ioFd = -1;
    impl_->linkPath.clear();
    return false;
  }
  return true;
}

bool Simulator::StartDevice(const std::string& devicePath, std::string* error) {
  if (!impl_->CheckStartable(error)) return false;
  std::string err;
  const int fd = OpenSerialDevice(devicePath, impl_->options.line, err);
  if (fd < 0) {
    if (error) *error = err;
    return false;
  }
  impl_->ioFd = fd;
  if (!impl_->Begin(Impl::Mode::Device, error)) {
    close(fd);
    impl_->ioFd = -1;
    return false;
  }
  return true;
}

bool Simulator::StartTcp(unsigned short port, std::string* error) {
  if (!impl_->CheckStartable(error)) return false;
  std::string err;
  unsigned short actual = 0;
  const int fd = ListenTcp(port, actual, err);
  if (fd < 0) {
    if (error) *error = err;
    return false;
  }
  impl_->listenFd = fd;
  impl_->tcpPort = actual;
  if (!impl_->Begin(Impl::Mode::Tcp, error)) {
    close(fd);
    impl_->listenFd = -1;
    return false;
  }
  return true;
}

void Simulator::Stop() { impl_->Stop(); }

std::optional<std::uint16_t> Simulator::Get(int station, std::string_view area, unsigned writtenNumber) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Station* s = impl_->bus.Find(station);
  if (s == nullptr) return std::nullopt;
  const auto loc = GateToLocation(s->model(), area, writtenNumber);
  if (!loc) return std::nullopt;
  return s->memory().Get(loc->space, loc->address);
}

bool Simulator::Set(int station, std::string_view area, unsigned writtenNumber, std::uint16_t value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->SetLocked(station, area, writtenNumber, value);
}

bool Simulator::SetWords(int station, std::string_view area, unsigned writtenNumber,
                         const std::vector<std::uint16_t>& values) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Station* s = impl_->bus.Find(station);
  if (s == nullptr) return false;
  for (unsigned i = 0; i < values.size(); ++i)
    if (!GateToLocation(s->model(), area, writtenNumber + i)) return false;
  for (unsigned i = 0; i < values.size(); ++i) impl_->SetLocked(station, area, writtenNumber + i, values[i]);
  return true;
}

bool Simulator::ForceMode(int station) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Station* s = impl_->bus.Find(station);
  return s != nullptr && s->forceMode();
}

void Simulator::SetForceMode(int station, bool on) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (Station* s = impl_->bus.Find(station)) s->setForceMode(on);
}

void Simulator::SetSilent(int station, bool silent) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->bus.SetSilent(station, silent);
}

bool Simulator::Silent(int station) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->bus.Silent(station);
}

void Simulator::SetFaults(const FaultSettings& settings) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->options.faults = settings;
  impl_->faults = FaultInjector(settings);
  impl_->faults.Record(impl_->recordFaults);
}

void Simulator::RecordFaults(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->recordFaults = on;
  impl_->faults.Record(on);
}

std::vector<FaultEvent> Simulator::TakeFaultEvents() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->faults.TakeEvents();
}

std::vector<TraceRecord> Simulator::Trace() const { return impl_->trace.Records(); }

void Simulator::ClearTrace() { impl_->trace.Clear(); }

std::string Simulator::Execute(std::string_view commandLine) { return RunControlCommand(*this, commandLine); }

unsigned short Simulator::TcpPort() const { return impl_->tcpPort; }

std::string Simulator::SlavePath() const { return impl_->pty.slavePath; }

bool Simulator::Running() const { return impl_->running; }

const Options& Simulator::GetOptions() const { return impl_->options; }

}  // namespace fasim
