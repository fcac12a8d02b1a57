// Writing a file so that it is whole or absent: the text goes to a
// temporary name beside it, is flushed to the disk, and only then takes the
// file's name. A disk that runs full leaves the old file (or none), never a
// half one under the file's name.
#pragma once

#include <string>

namespace qel::session {

// True when `path` holds `text`; else false with the reason in `error`, and
// no temporary file left behind.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string& error);

}  // namespace qel::session
