#include "bus.h"

#include "codec.h"

namespace fasim {

Bus::Bus(const std::map<int, Model>& stations) {
  for (const auto& [number, model] : stations) stations_.emplace(number, Station(model));
}

Station* Bus::Find(int station) {
  auto it = stations_.find(station);
  return it == stations_.end() ? nullptr : &it->second;
}

const Station* Bus::Find(int station) const {
  auto it = stations_.find(station);
  return it == stations_.end() ? nullptr : &it->second;
}

void Bus::SetSilent(int station, bool silent) {
  if (silent)
    silent_.insert(station);
  else
    silent_.erase(station);
}

bool Bus::Silent(int station) const { return silent_.count(station) != 0; }

void Bus::Reset() {
  parser_.Reset();
  selected_ = -1;
  for (auto& [number, station] : stations_) station.DropPendingWrite();
}

// 0x60, station (byte), checksum, CR. A present station answers an Ack and
// is selected; anything else deselects and stays silent.
BusEvent Bus::HandleSelect(const std::string& frame, const std::function<bool()>& injectNak) {
  BusEvent ev;
  ev.in = frame;
  const int previous = selected_;
  selected_ = -1;
  if (previous >= 0)
    if (Station* s = Find(previous)) s->DropPendingWrite();
  const std::string_view body = std::string_view(frame).substr(0, frame.size() - 1);
  const auto number = body.size() == 5 ? codec::ParseByte(body.substr(1, 2)) : std::nullopt;
  if (!number || !codec::AllDigits(body.substr(3))) {
    ev.note = "malformed selection";
    return ev;
  }
  ev.station = static_cast<int>(*number);
  if (Find(ev.station) == nullptr) {
    ev.note = "absent";
    return ev;
  }
  if (Silent(ev.station)) {
    ev.note = "silent";
    return ev;
  }
  if (injectNak && injectNak()) {
    ev.reply = NakFrame(nak::kInjected);
    ev.note = "nak-injected";
    return ev;
  }
  if (codec::ByteField(codec::DigitSum(body.substr(1, 2))) != body.substr(3, 2)) {
    ev.reply = NakFrame(nak::kChecksum);
    return ev;
  }
  selected_ = ev.station;
  ev.reply = AckFrame();
  return ev;
}

std::vector<BusEvent> Bus::Feed(char c, const std::function<bool()>& injectNak) {
  std::vector<BusEvent> events;
  for (ParsedFrame& frame : parser_.Feed(c)) {
    if (frame.kind == ParsedFrame::Kind::Discarded) {
      BusEvent ev;
      ev.kind = frame.kind;
      ev.in = std::move(frame.bytes);
      ev.station = selected_;
      ev.note = "discarded";
      events.push_back(std::move(ev));
      continue;
    }
    if (frame.kind == ParsedFrame::Kind::Frame && static_cast<unsigned char>(frame.bytes[0]) == 0x60) {
      events.push_back(HandleSelect(frame.bytes, injectNak));
      continue;
    }
    BusEvent ev;
    ev.kind = frame.kind;
    ev.in = std::move(frame.bytes);
    ev.station = selected_;
    Station* station = Find(selected_);
    if (station == nullptr) {
      ev.note = "no station selected";
    } else if (Silent(selected_)) {
      ev.note = "silent";
    } else if (injectNak && injectNak()) {
      station->DropPendingWrite();
      ev.reply = NakFrame(nak::kInjected);
      ev.note = "nak-injected";
    } else {
      const Station::Answer answer =
          ev.kind == ParsedFrame::Kind::Data ? station->HandleData(ev.in) : station->HandleFrame(ev.in);
      ev.reply = answer.bytes;
      if (answer.expectDataChars > 0) parser_.ExpectData(answer.expectDataChars);
    }
    events.push_back(std::move(ev));
  }
  return events;
}

}  // namespace fasim
