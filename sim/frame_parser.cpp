#include "frame_parser.h"

#include "codec.h"

namespace fasim {

void FrameParser::ExpectData(std::size_t chars) {
  expectData_ = chars;
  buf_.clear();
  skipping_ = false;
}

void FrameParser::Reset() {
  buf_.clear();
  expectData_ = 0;
  skipping_ = false;
}

std::vector<ParsedFrame> FrameParser::Feed(char c) {
  std::vector<ParsedFrame> out;
  const bool digit = codec::NibbleValue(c).has_value();

  if (expectData_ > 0) {
    if (digit) {
      buf_ += c;
      if (buf_.size() == expectData_) {
        out.push_back({ParsedFrame::Kind::Data, buf_});
        buf_.clear();
        expectData_ = 0;
      }
      return out;
    }
    // Not a digit: the master gave up on the data message.
    if (!buf_.empty()) out.push_back({ParsedFrame::Kind::Discarded, buf_});
    buf_.clear();
    expectData_ = 0;
  }

  if (c == codec::kCR) {
    if (skipping_) {
      skipping_ = false;
      buf_.clear();
      return out;
    }
    buf_ += c;
    if (buf_.size() == 1) {
      out.push_back({ParsedFrame::Kind::Discarded, buf_});  // a lone CR
    } else {
      out.push_back({ParsedFrame::Kind::Frame, buf_});
    }
    buf_.clear();
    return out;
  }

  if (!digit) {
    // A command character: a new frame starts.
    if (!buf_.empty()) out.push_back({ParsedFrame::Kind::Discarded, buf_});
    buf_.assign(1, c);
    skipping_ = false;
    return out;
  }

  if (skipping_) return out;
  buf_ += c;
  if (buf_.size() > kMaxFrame) {
    out.push_back({ParsedFrame::Kind::Discarded, buf_});
    buf_.clear();
    skipping_ = true;
  }
  return out;
}

}  // namespace fasim
