// The multidrop bus: station selection and routing of each frame to the
// selected station. Knows nothing of timing, echo or the attached line.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fasim.h"
#include "frame_parser.h"
#include "station.h"

namespace fasim {

struct BusEvent {
  ParsedFrame::Kind kind = ParsedFrame::Kind::Frame;
  std::string in;     // the frame received
  int station = -1;   // the station it concerned (-1: none)
  std::string reply;  // what the bus answers (empty: silence)
  std::string note;   // why there is no answer, or what was special
};

class Bus {
 public:
  explicit Bus(const std::map<int, Model>& stations);

  // Feeds one received byte. `injectNak` is asked once for every frame that
  // a station would answer; when it says yes the station answers a Nak
  // instead and the frame has no effect.
  std::vector<BusEvent> Feed(char c, const std::function<bool()>& injectNak = {});

  Station* Find(int station);
  const Station* Find(int station) const;
  void SetSilent(int station, bool silent);
  bool Silent(int station) const;
  int selected() const { return selected_; }
  void Reset();

 private:
  BusEvent HandleSelect(const std::string& frame, const std::function<bool()>& injectNak);

  std::map<int, Station> stations_;
  std::set<int> silent_;
  int selected_ = -1;
  FrameParser parser_;
};

}  // namespace fasim
