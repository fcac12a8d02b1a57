// Splits the byte stream from the master into frames. A frame is a command
// character followed by digit characters ('0'..'?') and a CR. Since no
// command character is a digit, any other character arriving mid-frame
// starts a new frame (the partial one is discarded). After an acknowledged
// write header the station expects a data message of a known number of
// digit characters without CR.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace fasim {

struct ParsedFrame {
  enum class Kind { Frame, Data, Discarded };
  Kind kind = Kind::Frame;
  std::string bytes;
};

class FrameParser {
 public:
  static constexpr std::size_t kMaxFrame = 40;

  // Feeds one byte; returns the frames it completed or discarded (usually none).
  std::vector<ParsedFrame> Feed(char c);
  // The next `chars` digit characters form a data message.
  void ExpectData(std::size_t chars);
  void Reset();
  bool ExpectingData() const { return expectData_ > 0; }

 private:
  std::string buf_;
  std::size_t expectData_ = 0;
  bool skipping_ = false;  // an overlong frame: drop until the next command character or CR
};

}  // namespace fasim
