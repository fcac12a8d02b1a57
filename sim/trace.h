// The frame log: every frame in and out with a millisecond timestamp,
// written to stderr and/or a file as it happens and kept (bounded) in memory.
#pragma once

#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "fasim.h"

namespace fasim {

// Control characters as <CR>, <LF>, <00>..<1F>, <7F>..<FF>; everything else as is.
std::string ReadableBytes(std::string_view bytes);

class TraceLog {
 public:
  TraceLog(std::size_t limit, const std::string& file, bool toStderr);
  ~TraceLog();
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;

  bool ok() const { return fileError_.empty(); }
  const std::string& fileError() const { return fileError_; }

  void Add(TraceRecord record);
  std::vector<TraceRecord> Records() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::deque<TraceRecord> records_;
  std::size_t limit_;
  std::FILE* file_ = nullptr;
  bool toStderr_;
  std::string fileError_;
};

}  // namespace fasim
