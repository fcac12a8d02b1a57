// Serves the text control protocol on standard input and/or a Unix socket
// until a stop descriptor becomes readable (or standard input ends).
#pragma once

#include <string>

namespace fasim {

class Simulator;

struct ControlChannels {
  bool useStdin = false;
  std::string socketPath;  // empty: none
};

// Blocks until `stopFd` is readable, or standard input reaches its end when
// it is a channel. Returns false with `error` set when the socket cannot be
// created. The socket file is removed on return.
bool ServeControl(Simulator& sim, const ControlChannels& channels, int stopFd, std::string& error);

}  // namespace fasim
