#include "common/line_file.h"


namespace qel::common {

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

}  // namespace

std::string StripComment(const std::string& line) {
    std::size_t end = line.size();
    for (std::size_t i = 0; i < line.size(); ++i)
        if (line[i] == '#' && (i == 0 || Blank(line[i - 1]))) {
            end = i;
            break;
        }
    std::size_t begin = 0;
    while (begin < end && Blank(line[begin])) ++begin;
    while (end > begin && Blank(line[end - 1])) --end;
    return line.substr(begin, end - begin);
}

std::vector<TextLine> SplitTextLines(const std::string& text) {
    std::vector<TextLine> lines;
    std::size_t at = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    unsigned number = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        ++number;
        std::string entry = StripComment(text.substr(at, end - at));
        if (!entry.empty()) lines.push_back({number, std::move(entry)});
        at = end + 1;
    }
    return lines;
}

bool ReadTextLines(const std::string& path, std::vector<TextLine>& lines, std::string& error,
                   const FileBound& bound) {
    std::string text;
    if (!ReadBoundedFile(path, bound, text, error) || !CheckLineBounds(path, text, bound, error)) return false;
    lines = SplitTextLines(text);
    return true;
}

}  // namespace qel::common
