// Reading the line-based text files people write by hand (gate lists, model
// files, memory and config files): a UTF-8 byte-order mark, CR LF line ends
// and a '#' comment, on a line of its own or after the entry, are all taken.
#pragma once

#include <string>
#include <vector>

#include "common/bounded_file.h"

namespace qel::common {

struct TextLine {
    unsigned number = 0;  // 1-based
    std::string text;     // without the comment, trimmed; never empty
};

// The entries of a file, blank and comment lines left out. False when the
// file cannot be read, is not a regular file or goes past its bound
// (`error` then says so, as "PATH: reason" or "PATH:LINE: reason").
bool ReadTextLines(const std::string& path, std::vector<TextLine>& lines, std::string& error,
                   const FileBound& bound = kListFile);

// The same for text already in memory.
std::vector<TextLine> SplitTextLines(const std::string& text);

// A line without its '#' comment (a '#' at the start or after a blank) and
// without the blanks around it.
std::string StripComment(const std::string& line);

}  // namespace qel::common
