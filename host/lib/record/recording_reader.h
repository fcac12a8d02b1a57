// A recording read whole, for a replay or an export: every change in the
// order it was read, and when the recording last saw the line. Opens the
// file read-only, so that it may be read while a writer still records into
// it; never makes or mends a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/change.h"

namespace qel::record {

struct Recording {
    std::vector<Change> changes;  // in the order they were read
    std::int64_t endedMillis = 0;  // when it last saw the line; 0: not noted
};

// False with a reason that names the file: it does not exist, it is not a
// database or is damaged, or it is a database but not a recording.
bool ReadRecording(const std::string& path, Recording& recording, std::string& error);

}  // namespace qel::record
