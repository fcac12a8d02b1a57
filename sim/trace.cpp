#include "trace.h"

#include <cerrno>
#include <cstring>

namespace fasim {

std::string ReadableBytes(std::string_view bytes) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "<CR>";
    } else if (c == '\n') {
      out += "<LF>";
    } else if (c < 0x20 || c >= 0x7F) {
      out += '<';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
      out += '>';
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string TraceRecord::Readable() const {
  char head[64];
  std::snprintf(head, sizeof head, "%8lld ms %s st %3d  ", ms, fromMaster ? "M>S" : "S>M", station);
  std::string line = head;
  line += ReadableBytes(bytes);
  if (!note.empty()) line += "  (" + note + ")";
  return line;
}

TraceLog::TraceLog(std::size_t limit, const std::string& file, bool toStderr)
    : limit_(limit == 0 ? 1 : limit), toStderr_(toStderr) {
  if (!file.empty()) {
    file_ = std::fopen(file.c_str(), "w");
    if (file_ == nullptr) fileError_ = "cannot open trace file " + file + ": " + std::strerror(errno);
  }
}

TraceLog::~TraceLog() {
  if (file_ != nullptr) std::fclose(file_);
}

void TraceLog::Add(TraceRecord record) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr || toStderr_) {
    const std::string line = record.Readable() + "\n";
    if (file_ != nullptr) {
      std::fputs(line.c_str(), file_);
      std::fflush(file_);
    }
    if (toStderr_) std::fputs(line.c_str(), stderr);
  }
  records_.push_back(std::move(record));
  while (records_.size() > limit_) records_.pop_front();
}

std::vector<TraceRecord> TraceLog::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {records_.begin(), records_.end()};
}

void TraceLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

}  // namespace fasim
