// fasim: FA-2 / FA-3 controller simulator on a pty, a serial device or TCP.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "control_server.h"
#include "fasim.h"
#include "replay.h"

namespace {

int g_stopPipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
  const char c = 's';
  [[maybe_unused]] const ssize_t n = write(g_stopPipe[1], &c, 1);
}

void ReportLine(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  fasim::Options options;
  std::string message;
  switch (fasim::ParseCommandLine(argc, argv, options, message)) {
    case fasim::ParseResult::Help:
      std::fputs(message.c_str(), stdout);
      return 0;
    case fasim::ParseResult::Error:
      std::fprintf(stderr, "fasim: %s\n", message.c_str());
      return 2;
    case fasim::ParseResult::Ok:
      break;
  }

  if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("fasim: pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int rc = 0;
  {
    fasim::Simulator sim(options);
    std::string error;
    // The recording is checked whole before the line opens.
    fasim::Replayer replayer;
    if (!options.replayFile.empty() && !replayer.Prepare(options, sim, error)) {
      std::fprintf(stderr, "fasim: %s\n", error.c_str());
      return 1;
    }
    bool started = false;
    if (!options.linkPath.empty())
      started = sim.StartPty(options.linkPath, &error);
    else if (!options.devicePath.empty())
      started = sim.StartDevice(options.devicePath, &error);
    else
      started = sim.StartTcp(options.tcpPort, &error);
    if (!started) {
      std::fprintf(stderr, "fasim: %s\n", error.c_str());
      return 1;
    }
    if (!options.linkPath.empty())
      std::fprintf(stderr, "fasim: %s -> %s\n", options.linkPath.c_str(), sim.SlavePath().c_str());
    else if (options.tcpRequested)
      std::fprintf(stderr, "fasim: listening on 127.0.0.1:%u\n", static_cast<unsigned>(sim.TcpPort()));
    if (!options.replayFile.empty()) {
      ReportLine(replayer.Describe());
      replayer.Start(sim, ReportLine);
    }

    fasim::ControlChannels channels{options.controlStdin, options.controlSocket};
    if (channels.useStdin || !channels.socketPath.empty()) {
      if (!fasim::ServeControl(sim, channels, g_stopPipe[0], error)) {
        std::fprintf(stderr, "fasim: %s\n", error.c_str());
        rc = 1;
      }
    } else {
      pollfd p{g_stopPipe[0], POLLIN, 0};
      while (poll(&p, 1, -1) < 0) {
      }
    }
    replayer.Stop();
    sim.Stop();
  }
  close(g_stopPipe[0]);
  close(g_stopPipe[1]);
  return rc;
}
